// search_walk_test.cpp - the walk over stored host-side templates: first hit, copies, stops, damaged rows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bio_host_testing.h"
#include "harness.h"
#include "host_support.h"
#include "kelfpscan.h"
#include "kelvra_internal.h"

using namespace kelvra_test;
using namespace host_test;

namespace {

constexpr char kDriver[] = "kelvra-test";

void script_compare(int similarity, int match, int rc = 0) { kelvs_script_out(KELVS_VerifyExt, rc, similarity, match); }

bool logged_similarity(const Device &d)
{
    for (const LogLine &line : d.logs())
        if (line.text.find("similarity = ") != std::string::npos)
            return true;
    return false;
}

class SearchWalk : public OpenHostDevice {
protected:
    feature_info *walk(int uid = -1, int idx_start = 0, int idx_end = -1)
    {
        return iops_internel_search(d.dev(), probe.data(), uid, idx_start, idx_end);
    }
    std::vector<unsigned char> probe = std::vector<unsigned char>(kBlock, 0x3C);
};

TEST_F(SearchWalk, NothingStoredFinishesWithoutComparing)
{
    VerifySpy spy;
    d.priv()->ctrlFlag = CTRL_IDLE;

    EXPECT_EQ(walk(), nullptr);
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_FINISHED);
    EXPECT_EQ(spy.count(), 0u);
    EXPECT_FALSE(logged_similarity(d));
    EXPECT_EQ(d.journal(), "");
}

TEST_F(SearchWalk, FirstHitInDatabaseOrderWinsAndIsCopied)
{
    const std::string a = encode(blocks_template({1, 1, 1, 1, 1, 1}));
    const std::string b = encode(blocks_template({2, 2, 2, 2, 2, 2}));
    store_record(kDriver, 3, 4, "left index", {a});
    store_record(kDriver, 9, 1, "right thumb", {b});
    VerifySpy spy;
    script_compare(777, 0);
    script_compare(999, 0);

    FeatureListPtr found(walk());

    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->next, nullptr);
    EXPECT_EQ(found->uid, 9) << "index 1 comes before index 4";
    EXPECT_EQ(found->biotype, BioT_FingerPrint);
    EXPECT_STREQ(found->driver, kDriver);
    EXPECT_EQ(found->index, 1);
    EXPECT_STREQ(found->index_name, "right thumb");
    ASSERT_NE(found->sample, nullptr);
    EXPECT_EQ(found->sample->next, nullptr);
    EXPECT_EQ(found->sample->no, 1);
    EXPECT_EQ(found->sample->data, b);

    ASSERT_EQ(spy.count(), 1u);
    const VerifyCall call = spy.calls()[0];
    EXPECT_EQ(call.level, 5);
    EXPECT_EQ(call.count, 6);
    EXPECT_EQ(call.probe, probe);
    EXPECT_EQ(call.templates, blocks_template({2, 2, 2, 2, 2, 2}));
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_FINISHED);
    EXPECT_TRUE(any_line_contains(
        [&] {
            std::vector<std::string> lines;
            for (const LogLine &l : d.logs())
                if (l.level == BIO_LOG_DEBUG)
                    lines.push_back(l.text);
            return lines;
        }(),
        "[kelvra-test] similarity = 777 (UID:9, INDEX[1]:right thumb, SNO:1)"));
    EXPECT_EQ(d.journal(), "");
}

TEST_F(SearchWalk, HitOnASecondSampleReturnsThatSampleAlone)
{
    const std::string first = encode(blocks_template({5}));
    const std::string second = encode(blocks_template({6}));
    store_record(kDriver, 3, 0, "thumb", {first, second, encode(blocks_template({7}))});
    VerifySpy spy;
    script_compare(10, 1);
    script_compare(88, 0);

    FeatureListPtr found(walk(3));

    ASSERT_NE(found, nullptr);
    ASSERT_NE(found->sample, nullptr);
    EXPECT_EQ(found->sample->no, 2);
    EXPECT_EQ(found->sample->data, second);
    EXPECT_EQ(found->sample->next, nullptr);
    EXPECT_EQ(spy.count(), 2u);
    EXPECT_TRUE(any_line_contains(
        [&] {
            std::vector<std::string> lines;
            for (const LogLine &l : d.logs())
                lines.push_back(l.text);
            return lines;
        }(),
        "similarity = 88 (UID:3, INDEX[0]:thumb, SNO:2)"));
}

TEST_F(SearchWalk, RecordWithoutSamplesIsPassedOver)
{
    store_record(kDriver, 3, 0, "empty", {});
    store_record(kDriver, 3, 1, "full", {encode(blocks_template({4}))});
    VerifySpy spy;
    script_compare(70, 0);

    FeatureListPtr found(walk(3));

    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->index, 1);
    EXPECT_EQ(spy.count(), 1u);
}

TEST_F(SearchWalk, OnlyTheUserAndRangeAskedForAreCompared)
{
    store_record(kDriver, 3, 0, "a", {encode(blocks_template({10}))});
    store_record(kDriver, 3, 1, "b", {encode(blocks_template({11}))});
    store_record(kDriver, 3, 2, "c", {encode(blocks_template({12}))});
    store_record(kDriver, 3, 3, "d", {encode(blocks_template({13}))});
    store_record(kDriver, 4, 1, "e", {encode(blocks_template({14}))});
    store_record("other-driver", 3, 1, "f", {encode(blocks_template({15}))});
    VerifySpy spy;

    EXPECT_EQ(walk(3, 1, 2), nullptr);  // the sensor's own comparison of these blocks misses
    EXPECT_EQ(walk(-1, 1, 1), nullptr);

    const std::vector<VerifyCall> calls = spy.calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].templates, blocks_template({11}));
    EXPECT_EQ(calls[1].templates, blocks_template({12}));
    EXPECT_EQ(calls[2].templates, blocks_template({11}));
    EXPECT_EQ(calls[3].templates, blocks_template({14}));
}

TEST_F(SearchWalk, RefusedComparisonIsNeverAHit)
{
    store_record(kDriver, 3, 0, "a", {encode(blocks_template({1})), encode(blocks_template({2}))});
    VerifySpy spy;
    script_compare(900, 0, 8);            // refused, though a hit was written
    kelvs_script_rc(KELVS_VerifyExt, 2);  // refused, nothing written

    EXPECT_EQ(walk(), nullptr);
    EXPECT_EQ(spy.count(), 2u);
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_FINISHED);
    EXPECT_FALSE(logged_similarity(d));
}

TEST_F(SearchWalk, StopDuringTheThirdComparisonDiscardsItsHit)
{
    store_record(kDriver, 3, 0, "a", {encode(blocks_template({1})), encode(blocks_template({2}))});
    store_record(kDriver, 3, 1, "b", {encode(blocks_template({3})), encode(blocks_template({4}))});
    VerifySpy spy;
    kelvra_driver_t *priv = d.priv();
    spy.after_call([priv](int n) {
        if (n == 3)
            priv->ctrlFlag = CTRL_STOP_REQUESTED;
    });
    script_compare(1, 1);
    script_compare(1, 1);
    script_compare(95, 0);  // the comparison in progress when the stop came would have hit
    script_compare(95, 0);

    EXPECT_EQ(walk(), nullptr);
    EXPECT_EQ(priv->ctrlFlag.load(), CTRL_STOPPED);
    EXPECT_EQ(spy.count(), 3u);
    EXPECT_FALSE(logged_similarity(d));
    EXPECT_EQ(d.journal(), "");
}

TEST_F(SearchWalk, StopPendingWhenTheWalkBeginsIsHonoured)
{
    store_record(kDriver, 3, 0, "a", {encode(blocks_template({1}))});
    VerifySpy spy;
    script_compare(95, 0);
    d.priv()->ctrlFlag = CTRL_STOP_REQUESTED;

    EXPECT_EQ(walk(), nullptr);
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_STOPPED);
    EXPECT_EQ(spy.count(), 0u);
}

TEST_F(SearchWalk, WalkArmsItselfWhateverTheFlagHeld)
{
    store_record(kDriver, 3, 0, "a", {encode(blocks_template({1}))});
    for (int32_t before : {CTRL_IDLE, CTRL_STOPPED, CTRL_FINISHED}) {
        SCOPED_TRACE(before);
        VerifySpy spy;
        int32_t during = -1;
        kelvra_driver_t *priv = d.priv();
        spy.after_call([priv, &during](int) { during = priv->ctrlFlag.load(); });
        script_compare(60, 0);
        priv->ctrlFlag = before;

        FeatureListPtr found(walk());
        EXPECT_NE(found, nullptr);
        EXPECT_EQ(during, CTRL_RUNNING);
        EXPECT_EQ(priv->ctrlFlag.load(), CTRL_FINISHED);
    }
}

TEST_F(SearchWalk, DamagedSamplesAreSkippedAndTheWalkGoesOn)
{
    std::vector<unsigned char> too_long(kTemplate + 1, 0x11);
    store_record(kDriver, 3, 0, "a", {"@@@@", encode(too_long)});
    store_record(kDriver, 5, 2, "b", {"", encode({1, 2, 3}), encode(blocks_template({8}))});
    VerifySpy spy;
    script_compare(0, 1);
    script_compare(0, 1);
    script_compare(61, 0);

    FeatureListPtr found(walk());

    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->uid, 5);
    EXPECT_EQ(found->sample->no, 3);
    const std::vector<VerifyCall> calls = spy.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].templates, std::vector<unsigned char>(kTemplate, 0));
    std::vector<unsigned char> short_one(kTemplate, 0);
    short_one[0] = 1;
    short_one[1] = 2;
    short_one[2] = 3;
    EXPECT_EQ(calls[1].templates, short_one);
    EXPECT_EQ(calls[2].templates, blocks_template({8}));
    const std::vector<std::string> errors = d.errors();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("UID 3, index 0, sample 1"), std::string::npos) << errors[0];
    EXPECT_NE(errors[1].find("UID 3, index 0, sample 2"), std::string::npos) << errors[1];
}

TEST_F(SearchWalk, StopIsSeenAtASkippedSampleToo)
{
    store_record(kDriver, 3, 0, "a", {encode(blocks_template({1})), "not*base64", encode(blocks_template({2}))});
    VerifySpy spy;
    script_compare(0, 1);
    script_compare(60, 0);
    // The request comes while the damaged second sample is being reported, as a stop thread might.
    bio_log_set_listener(
        [](bio_log_level level, const char *line, void *user) {
            if (level == BIO_LOG_ERROR && std::string(line).find("sample 2") != std::string::npos)
                static_cast<kelvra_driver_t *>(user)->ctrlFlag = CTRL_STOP_REQUESTED;
        },
        d.priv());

    EXPECT_EQ(walk(), nullptr);
    bio_log_set_listener(nullptr, nullptr);
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_STOPPED);
    EXPECT_EQ(spy.count(), 1u);
}

TEST_F(SearchWalk, UnreachableDatabaseFindsNothing)
{
    store_record(kDriver, 3, 0, "a", {encode(blocks_template({1}))});
    VerifySpy spy;
    for (bio_fault_point point : {BIO_FAULT_CONNECT, BIO_FAULT_QUERY}) {
        SCOPED_TRACE(point);
        d.clear_logs();
        bio_testing_fail_nth(point, 1);
        script_compare(60, 0);

        EXPECT_EQ(walk(), nullptr);
        EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_FINISHED);
        EXPECT_FALSE(d.errors().empty());
        kelvs_clear_scripts();
    }
    EXPECT_EQ(spy.count(), 0u);
}

TEST_F(SearchWalk, OnChipVariantIsAnEmptyPlaceholder)
{
    store_record(kDriver, 3, 0, "a", {encode(blocks_template({1}))});
    VerifySpy spy;
    EXPECT_EQ(iops_internel_searchForOS(d.dev(), probe.data(), 3, 0, 0, -1), nullptr);
    EXPECT_EQ(spy.count(), 0u);
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_RUNNING);
}

// ---- Hosts whose decoder answers a success differently ----------------------------------------------
// Makes sure the walks decode stored templates whatever a host's decoder answers on success (the byte
// count, 0, 1 or the characters it read). An example failure: taking the answer for the decoded size
// clears the template just decoded (0, 1) or writes past the area (characters).

// One feature block of a virtual finger, pressed by hand and taken through the sensor.
std::vector<unsigned char> pressed_block(Device &d, const char *finger)
{
    std::vector<unsigned char> block(kBlock);
    kelvs_finger_press(finger, KELVS_CONTACT_FULL);
    EXPECT_EQ(KELFPSCAN_CaptureRawData(d.priv()->handle, 0, d.priv()->rawImage), 0);
    EXPECT_EQ(KELFPSCAN_ExtractFeature(d.priv()->handle, 0, block.data()), 0);
    kelvs_finger_lift();
    return block;
}

// Six presses of the finger end to end, base64-encoded as an enrollment stores them.
std::string enrolled_template(Device &d, const char *finger)
{
    std::vector<unsigned char> blocks;
    for (int press = 0; press < 6; ++press) {
        const std::vector<unsigned char> block = pressed_block(d, finger);
        blocks.insert(blocks.end(), block.begin(), block.end());
    }
    return encode(blocks);
}

class DecoderAnswer : public SearchWalk, public ::testing::WithParamInterface<bio_decode_answer> {};

TEST_P(DecoderAnswer, SameStoredFingersMatch)
{
    store_record(kDriver, 1, 0, "alice", {enrolled_template(d, "alice-thumb")});
    store_record(kDriver, 2, 3, "bob", {"not*base64", enrolled_template(d, "bob-index")});
    const std::vector<unsigned char> alice = pressed_block(d, "alice-thumb");
    const std::vector<unsigned char> bob = pressed_block(d, "bob-index");
    const std::vector<unsigned char> carol = pressed_block(d, "carol-ring");
    bio_testing_set_decode_answer(GetParam());

    struct Case {
        const std::vector<unsigned char> *finger;
        int uid;        // whose records the duplicate check of an enrollment looks at
        int found_uid;  // what the walk over every user finds, -1 for nothing
        int duplicate;  // what the duplicate check answers: 0 when the finger is already enrolled
    };
    const Case cases[] = {{&alice, 1, 1, 0}, {&bob, 2, 2, 0}, {&bob, 1, 2, 1}, {&carol, 2, -1, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "uid " << c.uid << ", found " << c.found_uid);
        FeatureListPtr found(iops_internel_search(d.dev(), const_cast<unsigned char *>(c.finger->data()), -1, 0, -1));
        EXPECT_EQ(found != nullptr ? found->uid : -1, c.found_uid);
        EXPECT_EQ(iops_internel_enroll_search(d.dev(), const_cast<unsigned char *>(c.finger->data()), c.uid, 0, -1),
                  c.duplicate);
    }
    // The damaged sample is still told apart: skipped with its line each time a walk passes it.
    const std::string damaged =
        "[kelvra-test] The stored fingerprint template of UID 2, index 3, sample 1 is damaged and was skipped\n";
    EXPECT_EQ(d.errors(), std::vector<std::string>(5, damaged));
}

std::string answer_name(const ::testing::TestParamInfo<bio_decode_answer> &info)
{
    static const char *const names[] = {"Bytes", "Zero", "One", "Characters"};
    return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Hosts, DecoderAnswer,
                         ::testing::Values(BIO_DECODE_ANSWERS_BYTES, BIO_DECODE_ANSWERS_ZERO, BIO_DECODE_ANSWERS_ONE,
                                           BIO_DECODE_ANSWERS_CHARACTERS),
                         answer_name);

}  // namespace
