// enrollment_test.cpp - match-on-host enrollment: presses, retries, the stored record and the duplicate check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bio_host_testing.h"
#include "harness.h"
#include "host_support.h"
#include "kelvra_internal.h"

using namespace kelvra_test;
using namespace host_test;

namespace {

constexpr char kDriver[] = "kelvra-test";
constexpr char kDuplicateText[] = "当前手指已注册，请更换手指并按压！";

std::string progress(int press)
{
    return "[" + std::to_string(press) +
           "/6] fingerprint is being sampled. Please press different parts of your finger";
}

std::string extraction_error(int code)
{
    return "Generate fingerprint characteristics error (" + std::to_string(code) +
           "), please lift your finger and press it again";
}

void script_extract(int value, int rc = 0)
{
    kelvs_answer a{};
    a.rc = rc;
    a.has_out = 1;
    a.out[0] = value;
    kelvs_script(KELVS_ExtractFeature, &a);
}

// Every extraction answers with a block of this value (the frames of these tests show no finger).
void script_extract_always(int value, int rc = 0)
{
    kelvs_answer a{};
    a.rc = rc;
    a.has_out = 1;
    a.out[0] = value;
    kelvs_script_always(KELVS_ExtractFeature, &a);
}

void script_compare(int similarity, int match, int rc = 0) { kelvs_script_out(KELVS_VerifyExt, rc, similarity, match); }

int enroll(Device &d, int uid, int idx, const char *name)
{
    std::string copy = name;
    return kelvra_ops_enroll(d.dev(), ACTION_START, uid, idx, copy.data());
}

const feature_info *record_at(const feature_info *list, int uid, int idx)
{
    for (; list != nullptr; list = list->next)
        if (list->uid == uid && list->index == idx)
            return list;
    return nullptr;
}

class Enrollment : public OpenHostDevice {};

TEST_F(Enrollment, SixPressesStoreOneRecordWithTheBlocksInPressOrder)
{
    NoticeRecorder notices(d);
    VerifySpy spy;
    script_quality({51, 0, 51, 0, 51, 0, 51, 0, 51, 0, 51});
    for (int k = 1; k <= 6; ++k)
        script_extract(0x10 * k + k);

    ASSERT_EQ(enroll(d, 5, 2, "right thumb"), 0);

    // A lift is asked for after the first five presses only; the template follows the sixth at once.
    EXPECT_EQ(d.journal(), "S201 N9 N11 N9 N11 N9 N11 N9 N11 N9 N11 N9 N12 R200 N200 S0");
    EXPECT_EQ(notices.texts(),
              (std::vector<std::string>{progress(1), progress(2), progress(3), progress(4), progress(5), progress(6)}));
    EXPECT_EQ(kelvs_log_count(KELVS_ImgQuality), 11u);
    EXPECT_EQ(kelvs_scripts_pending(KELVS_ImgQuality), 0u);
    EXPECT_EQ(kelvs_log_count(KELVS_ExtractFeature), 6u);
    EXPECT_EQ(spy.count(), 0u) << "nothing stored yet, nothing to compare";

    FeatureListPtr records = stored_records(kDriver);
    ASSERT_NE(records, nullptr);
    ASSERT_EQ(records->next, nullptr);
    const feature_info *r = records.get();
    EXPECT_EQ(r->uid, 5);
    EXPECT_EQ(r->biotype, BioT_FingerPrint);
    EXPECT_STREQ(r->driver, kDriver);
    EXPECT_EQ(r->index, 2);
    EXPECT_STREQ(r->index_name, "right thumb");
    ASSERT_NE(r->sample, nullptr);
    ASSERT_EQ(r->sample->next, nullptr);
    EXPECT_EQ(r->sample->no, 1);
    const std::string text = r->sample->data;
    EXPECT_EQ(text.size(), size_t(kTemplateText));
    EXPECT_EQ(text.find('='), std::string::npos);
    EXPECT_EQ(coreutils_decode(text), blocks_template({0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
}

TEST_F(Enrollment, RefusedPressesAreTakenAgainUnderTheSameNumber)
{
    store_record(kDriver, 7, 0, "index finger", {encode(blocks_template({9, 9, 9, 9, 9, 9}))});
    NoticeRecorder notices(d);
    VerifySpy spy;

    // Press 1: a duplicate, then accepted. Press 5: an extraction error, then accepted.
    // Press 6: two duplicates, then accepted; no lift is ever asked after it.
    script_quality({51, 51, 0, 51, 0, 51, 0, 51, 0, 51, 0, 51, 0, 51, 51, 51});
    script_extract(0xA1);
    script_extract(0x11);
    script_extract(0x22);
    script_extract(0x33);
    script_extract(0x44);
    script_extract(0x99, 9);
    script_extract(0x55);
    script_extract(0xA6);
    script_extract(0xA7);
    script_extract(0x66);
    script_compare(900, 0);  // 1: duplicate
    for (int k = 0; k < 6; ++k)
        script_compare(10, 1);  // 1 again, 2, 3, 4, 5 (failed extraction), 5 again
    script_compare(900, 0);     // 6: duplicate
    script_compare(800, 0);     // 6: duplicate
    script_compare(10, 1);      // 6 again

    ASSERT_EQ(enroll(d, 7, 1, "middle finger"), 0);

    EXPECT_EQ(notices.texts(),
              (std::vector<std::string>{progress(1), kDuplicateText, progress(1), progress(2), progress(3),
                                        progress(4), progress(5), extraction_error(9), progress(5), progress(6),
                                        kDuplicateText, progress(6), kDuplicateText, progress(6)}));
    EXPECT_EQ(d.journal(), "S201 N9 N9 N9 N11 N9 N11 N9 N11 N9 N11 N9 N9 N9 N11 N9 N9 N9 N9 N9 N12 R200 N200 S0");
    EXPECT_EQ(kelvs_scripts_pending(KELVS_ImgQuality), 0u);
    EXPECT_EQ(kelvs_scripts_pending(KELVS_ExtractFeature), 0u);
    EXPECT_EQ(kelvs_scripts_pending(KELVS_VerifyExt), 0u);
    // Only the extraction error is logged as an error.
    EXPECT_EQ(d.take_errors(), std::vector<std::string>{extraction_error(9) + "\n"});

    // A refused press is asked for again only after a 1000 ms pause, and without a lift wait.
    const std::vector<Notice> seen = notices.notices();
    for (size_t i = 0; i + 1 < seen.size(); ++i) {
        if (seen[i].text != kDuplicateText)
            continue;
        EXPECT_GE(seen[i + 1].at_us - seen[i].at_us, 1'000'000);
        EXPECT_EQ(seen[i + 1].mid, 9);
    }

    for (const VerifyCall &call : spy.calls()) {
        EXPECT_EQ(call.level, 5);
        EXPECT_EQ(call.count, 6);
        EXPECT_EQ(call.templates, digest(blocks_template({9, 9, 9, 9, 9, 9})));
    }
    ASSERT_EQ(spy.count(), 10u);
    // The failed extraction's block is compared as the sensor left it and then replaced by the retry.
    EXPECT_EQ(spy.calls()[5].probe, digest(std::vector<unsigned char>(kBlock, 0x99)));

    FeatureListPtr records = stored_records(kDriver);
    const feature_info *r = record_at(records.get(), 7, 1);
    ASSERT_NE(r, nullptr);
    ASSERT_NE(r->sample, nullptr);
    EXPECT_EQ(coreutils_decode(r->sample->data), blocks_template({0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
}

TEST_F(Enrollment, FirstFailedExtractionIsCheckedWithAClearedBlock)
{
    store_record(kDriver, 7, 0, "index finger", {encode(blocks_template({9}))});
    VerifySpy spy;
    kelvs_script_rc(KELVS_ExtractFeature, 5);  // writes nothing
    script_compare(0, 1);
    script_quality({51});
    kelvs_answer never_lifted{};
    never_lifted.has_out = 1;
    never_lifted.out[0] = 80;
    kelvs_script_always(KELVS_ImgQuality, &never_lifted);

    EXPECT_EQ(enroll(d, 7, 1, "x"), -1);
    ASSERT_EQ(spy.count(), 1u);
    EXPECT_EQ(spy.calls()[0].probe, digest(std::vector<unsigned char>(kBlock, 0)));
    // The lift after the extraction error never came.
    EXPECT_EQ(d.journal(), "S201 N9 N9 Rc4 Nc4 S0");
    EXPECT_EQ(d.take_errors(), std::vector<std::string>{extraction_error(5) + "\n"});
}

TEST_F(Enrollment, SameFingerOfAnotherUserIsNotCompared)
{
    store_record(kDriver, 8, 0, "index finger", {encode(blocks_template({1, 2, 3, 4, 5, 6}))});
    store_record("another-driver", 7, 0, "index finger", {encode(blocks_template({1, 2, 3, 4, 5, 6}))});
    VerifySpy spy;
    script_quality({51, 0, 51, 0, 51, 0, 51, 0, 51, 0, 51});
    script_extract_always(0x42);

    ASSERT_EQ(enroll(d, 7, 0, "thumb"), 0);
    EXPECT_EQ(spy.count(), 0u);
    FeatureListPtr records = stored_records(kDriver);
    EXPECT_NE(record_at(records.get(), 7, 0), nullptr);
    EXPECT_NE(record_at(records.get(), 8, 0), nullptr);
}

TEST_F(Enrollment, WaitsThatGiveUpEndTheEnrollmentAndStoreNothing)
{
    struct Case {
        const char *what;
        std::vector<int> grades;  // scripted before the sensor grades on its own (empty sensor: low)
        int always_grade;         // -1: none
        int extract_rc;
        const char *journal;
    };
    const Case cases[] = {
        {"no finger at the first press", {}, -1, 0, "S201 N9 Rc4 Nc4 S0"},
        {"finger never lifted", {}, 80, 0, "S201 N9 N11 Rc4 Nc4 S0"},
        {"finger never lifted after an extraction error", {}, 80, 3, "S201 N9 N9 Rc4 Nc4 S0"},
        {"no finger at the third press", {51, 0, 51, 0}, -1, 0, "S201 N9 N11 N9 N11 N9 Rc4 Nc4 S0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Device dev;
        open_host(dev);
        for (int g : c.grades)
            kelvs_script_out(KELVS_ImgQuality, 0, g, 0);
        if (c.always_grade >= 0) {
            kelvs_answer a{};
            a.has_out = 1;
            a.out[0] = c.always_grade;
            kelvs_script_always(KELVS_ImgQuality, &a);
        }
        script_extract_always(0x42, c.extract_rc);

        EXPECT_EQ(enroll(dev, 3, 0, "thumb"), -1);
        EXPECT_EQ(dev.journal(), c.journal);
        EXPECT_EQ(dev.take_errors(), c.extract_rc != 0 ? std::vector<std::string>{extraction_error(c.extract_rc) + "\n"}
                                                       : std::vector<std::string>{});
        EXPECT_EQ(stored_records(kDriver), nullptr);
    }
}

TEST_F(Enrollment, GradingErrorEndsTheEnrollment)
{
    script_quality({51, 0});
    kelvs_script_rc(KELVS_ImgQuality, 12);
    script_extract_always(0x42);

    EXPECT_EQ(enroll(d, 3, 0, "thumb"), -1);
    EXPECT_EQ(d.journal(), "S201 N9 N11 N9 S0 Rc2 N9");
    EXPECT_STREQ(d.priv()->extra_info, "Analyze fingerprint image quality error, error code: 12");
    EXPECT_EQ(d.take_errors(), std::vector<std::string>{"Analyze fingerprint image quality error, error code: 12\n"});
    EXPECT_EQ(stored_records(kDriver), nullptr);
}

TEST_F(Enrollment, RecordTheHostCannotMakeEndsAsOutOfMemory)
{
    struct Case {
        bio_fault_point point;
        int nth;  // the record's driver and index name are the first two texts the host copies
        const char *line;
    };
    const Case cases[] = {
        {BIO_FAULT_NEW_RECORD, 1, "host: out of memory for a feature record: injected fault\n"},
        {BIO_FAULT_NEW_SAMPLE, 1, "host: out of memory for a feature sample: injected fault\n"},
        {BIO_FAULT_NEW_TEXT, 3, "host: out of memory copying a text: injected fault\n"},
    };
    script_extract_always(0x42);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        d.mark();
        d.clear_logs();
        script_quality({51, 0, 51, 0, 51, 0, 51, 0, 51, 0, 51});
        bio_testing_fail_nth(c.point, c.nth);

        EXPECT_EQ(enroll(d, 3, 0, "thumb"), -1);
        EXPECT_EQ(d.journal(), "S201 N9 N11 N9 N11 N9 N11 N9 N11 N9 N11 N9 N12 Rc5 Nc6 S0");
        EXPECT_EQ(d.take_errors(), std::vector<std::string>{c.line});
        EXPECT_EQ(stored_records(kDriver), nullptr);
    }
}

TEST_F(Enrollment, StopDuringTheDuplicateCheckEndsAtTheNextWait)
{
    store_record(kDriver, 7, 0, "index finger", {encode(blocks_template({9}))});
    VerifySpy spy;
    kelvra_driver_t *priv = d.priv();
    spy.after_call([priv](int) { priv->ctrlFlag = CTRL_STOP_REQUESTED; });
    script_compare(0, 1);
    script_quality({51});
    script_extract_always(0x42);

    EXPECT_EQ(enroll(d, 7, 1, "x"), -1);
    // The check ran to its end and left the flag alone; the lift wait acknowledged the stop.
    EXPECT_EQ(d.journal(), "S201 N9 N11 Rc3 Nc3 S0");
    EXPECT_EQ(priv->ctrlFlag.load(), CTRL_STOPPED);
    EXPECT_EQ(spy.count(), 1u);
}

TEST_F(Enrollment, RecordThatCannotBeStoredIsAnError)
{
    struct Case {
        const char *what;
        bio_fault_point point;
        int nth;
        const char *text;
    };
    // Six duplicate checks connect before the store does.
    const Case cases[] = {
        {"database cannot be opened", BIO_FAULT_CONNECT, 7,
         "Unable to open the feature database, the fingerprint was not saved"},
        {"store refused", BIO_FAULT_STORE, 1, "Unable to save the fingerprint to the feature database, error code: -1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Device dev;
        const HostLoans loans = host_loans();
        open_host(dev);
        script_quality({51, 0, 51, 0, 51, 0, 51, 0, 51, 0, 51});
        script_extract_always(0x42);
        bio_testing_fail_nth(c.point, c.nth);

        EXPECT_EQ(enroll(dev, 3, 0, "thumb"), -1);
        EXPECT_EQ(dev.journal(), "S201 N9 N11 N9 N11 N9 N11 N9 N11 N9 N11 N9 N12 Rc2 N9 S0");
        EXPECT_STREQ(dev.priv()->extra_info, c.text);
        EXPECT_EQ(dev.take_errors(), (std::vector<std::string>{injected_fault_line(c.point), std::string(c.text) + "\n"}));
        EXPECT_EQ(stored_records(kDriver), nullptr);
        EXPECT_EQ(host_leftovers(loans), "");
    }
}

// Makes sure a finger the user already enrolled, left lying on the sensor, cannot keep the enrollment
// asking for it again for ever: the refusals of one press share one time-out window. An example failure:
// every refusal starting a fresh press wait that the finger satisfies at once, so nothing ever times out.
TEST_F(Enrollment, DuplicateRefusalsOfOnePressShareOneTimeOut)
{
    const std::string refusals2 = " N9 N9 N9 N9";  // progress and refusal, twice
    struct Case {
        const char *what;
        int timeout_ms;
        bool finger_stays;  // every press is the enrolled finger; else presses 1 and 2 are refused twice each
        int returned;
        std::string journal;
    };
    const Case cases[] = {
        {"finger left on the sensor, 3 s", 3000, true, -1, "S201 N9 N9 N9 N9 N9 N9 Rc4 Nc4 S0"},
        {"finger left on the sensor, 5 s", 5000, true, -1, "S201 N9 N9 N9 N9 N9 N9 N9 N9 N9 N9 Rc4 Nc4 S0"},
        {"each press has a window of its own", 2500, false, 0,
         "S201" + refusals2 + " N9 N11" + refusals2 + " N9 N11 N9 N11 N9 N11 N9 N11 N9 N12 R200 N200 S0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Device dev;
        open_host(dev);
        dev.priv()->timeoutMS = c.timeout_ms;
        store_record(kDriver, 7, 0, "index finger", {encode(blocks_template({9}))});
        script_extract_always(0x42);
        if (c.finger_stays) {
            kelvs_answer pressed{};
            pressed.has_out = 1;
            pressed.out[0] = 51;
            kelvs_script_always(KELVS_ImgQuality, &pressed);
            kelvs_answer duplicate{};
            duplicate.has_out = 1;
            duplicate.out[0] = 900;
            duplicate.out[1] = 0;
            kelvs_script_always(KELVS_VerifyExt, &duplicate);
        } else {
            script_quality({51, 51, 51, 0, 51, 51, 51, 0, 51, 0, 51, 0, 51, 0, 51});
            for (int match : {0, 0, 1, 0, 0, 1, 1, 1, 1, 1})
                script_compare(match == 0 ? 900 : 10, match);
        }

        EXPECT_EQ(enroll(dev, 7, 1, "middle finger"), c.returned);
        EXPECT_EQ(dev.journal(), c.journal);
        const FeatureListPtr records = stored_records(kDriver);
        EXPECT_EQ(record_at(records.get(), 7, 1) != nullptr, c.returned == 0);
    }
}

// Makes sure a sensor whose extraction keeps failing does not keep the user pressing for ever: the
// retries of one press share one time-out window, like the refusals of a finger enrolled already. An
// example failure: an enrollment that asks for the first press again as long as the finger comes back.
TEST_F(Enrollment, FailedExtractionsOfOnePressShareOneTimeOut)
{
    d.priv()->timeoutMS = 300;
    script_extract_always(0x42, 5);
    for (int n = 0; n < 100; ++n)
        script_quality({51, 0});  // every press and every lift is seen at its first capture
    const int64_t start = FakeTime::now_us();

    EXPECT_EQ(enroll(d, 7, 1, "x"), -1);
    const int64_t took_ms = (FakeTime::now_us() - start) / 1000;
    const size_t tries = kelvs_log_count(KELVS_ExtractFeature);
    std::string journal = "S201 N9";
    for (size_t n = 0; n < tries; ++n)
        journal += n + 1 < tries ? " N9 N9" : " N9";
    EXPECT_EQ(d.journal(), journal + " Rc4 Nc4 S0");
    EXPECT_EQ(d.take_errors(), std::vector<std::string>(tries, extraction_error(5) + "\n"));
    // The window closes at the first lift that ends after 300 ms: one press, one lift and the entry pause
    // past it at most.
    EXPECT_GE(took_ms, 1000 + 300);
    EXPECT_LE(took_ms, 1000 + 300 + 2 * 30);
    EXPECT_GT(tries, 2u);
    EXPECT_TRUE(stored_records(kDriver) == nullptr);
}

class DuplicateCheck : public Enrollment {};

TEST_F(DuplicateCheck, OnlyASuccessfulComparisonCanBeAHit)
{
    store_record(kDriver, 7, 0, "a", {encode(blocks_template({1})), encode(blocks_template({2}))});
    store_record(kDriver, 7, 1, "b", {encode(blocks_template({3}))});
    unsigned char probe[kBlock] = {};
    VerifySpy spy;
    // A refused comparison that still writes a hit, and one that writes nothing.
    script_compare(950, 0, 6);
    kelvs_script_rc(KELVS_VerifyExt, -3);
    script_compare(20, 1);

    EXPECT_EQ(iops_internel_enroll_search(d.dev(), probe, 7, 0, -1), 1);
    ASSERT_EQ(spy.count(), 3u);
    EXPECT_EQ(spy.calls()[2].templates, digest(blocks_template({3})));

    script_compare(0, 1);
    script_compare(700, 0);
    EXPECT_EQ(iops_internel_enroll_search(d.dev(), probe, 7, 0, -1), 0);
    EXPECT_EQ(spy.count(), 5u) << "the walk ends at the first hit";
    EXPECT_EQ(d.journal(), "");
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_RUNNING);
}

TEST_F(DuplicateCheck, DamagedSamplesAreSkippedAndEachDecodeStartsFromZero)
{
    std::vector<unsigned char> too_long(kTemplate + 3, 0x5A);
    store_record(kDriver, 7, 0, "a", {"!!!not base64!!!", encode(too_long)});
    store_record(kDriver, 7, 1, "b", {encode(blocks_template({1, 2, 3, 4, 5, 6})), encode({7, 8, 9}), ""});
    unsigned char probe[kBlock] = {};
    VerifySpy spy;
    for (int k = 0; k < 3; ++k)
        script_compare(0, 1);

    EXPECT_EQ(iops_internel_enroll_search(d.dev(), probe, 7, 0, -1), 1);

    const std::vector<VerifyCall> calls = spy.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].templates, digest(blocks_template({1, 2, 3, 4, 5, 6})));
    std::vector<unsigned char> short_one(kTemplate, 0);
    short_one[0] = 7;
    short_one[1] = 8;
    short_one[2] = 9;
    EXPECT_EQ(calls[1].templates, digest(short_one));
    EXPECT_EQ(calls[2].templates, digest(std::vector<unsigned char>(kTemplate, 0))) << "an empty text is an all-zero template";

    EXPECT_EQ(d.take_errors(), (std::vector<std::string>{damaged_sample_line(7, 0, 1), damaged_sample_line(7, 0, 2)}));
}

TEST_F(DuplicateCheck, UnreachableDatabaseMeansNoDuplicate)
{
    store_record(kDriver, 7, 0, "a", {encode(blocks_template({1}))});
    unsigned char probe[kBlock] = {};
    VerifySpy spy;
    for (bio_fault_point point : {BIO_FAULT_CONNECT, BIO_FAULT_QUERY}) {
        bio_testing_fail_nth(point, 1);
        EXPECT_EQ(iops_internel_enroll_search(d.dev(), probe, 7, 0, -1), 1);
    }
    EXPECT_EQ(spy.count(), 0u);
    EXPECT_EQ(d.take_errors(), (std::vector<std::string>{injected_fault_line(BIO_FAULT_CONNECT), kNothingComparedLine,
                                                         injected_fault_line(BIO_FAULT_QUERY)}));
}

TEST_F(DuplicateCheck, EnrollCheckWantsABestScoreAbove400)
{
    std::vector<unsigned char> blocks = blocks_template({1, 2, 3});
    unsigned char probe[kBlock] = {};
    VerifySpy spy;

    EXPECT_EQ(enroll_check(d.dev(), blocks.data(), probe, 0), 0);
    EXPECT_EQ(spy.count(), 0u);

    // A refused comparison's score does not count.
    script_compare(100, 0);
    script_compare(400, 1);
    script_compare(999, 0, 4);
    EXPECT_EQ(enroll_check(d.dev(), blocks.data(), probe, 3), 0);

    script_compare(100, 1);
    script_compare(401, 1);
    script_compare(5, 0);
    EXPECT_EQ(enroll_check(d.dev(), blocks.data(), probe, 3), 1);

    const std::vector<VerifyCall> calls = spy.calls();
    ASSERT_EQ(calls.size(), 6u);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].level, 5);
        EXPECT_EQ(calls[i].count, 1);
        EXPECT_EQ(calls[i].templates, digest(std::vector<unsigned char>(kBlock, static_cast<unsigned char>(i % 3 + 1))));
    }
}

}  // namespace
