// matching_ops_test.cpp - verify, identify and search in match-on-host mode: outcomes, errors and stops.
#include <gtest/gtest.h>

#include <functional>
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

// The three operations run the same way; each case knows how to call one and what it reports.
struct Op {
    const char *name;
    int doing;
    int match_value;
    int no_match_value;
    // Runs the operation for uid and the index range; returns its int answer (search: 1 for a list, -1 for
    // NULL) and keeps a returned list in *list.
    std::function<int(bio_dev *, int uid, int start, int end, FeatureListPtr *list)> run;
};

const Op kVerify{"verify", 301, 300, 301, [](bio_dev *dev, int uid, int start, int, FeatureListPtr *) {
                     return kelvra_ops_verify(dev, ACTION_START, uid, start);
                 }};
const Op kIdentify{"identify", 401, 400, 401, [](bio_dev *dev, int uid, int start, int end, FeatureListPtr *) {
                       return kelvra_ops_identify(dev, ACTION_START, uid, start, end);
                   }};
const Op kSearch{"search", 601, 600, 601, [](bio_dev *dev, int uid, int start, int end, FeatureListPtr *list) {
                     list->reset(kelvra_ops_search(dev, ACTION_START, uid, start, end));
                     return *list != nullptr ? 1 : -1;
                 }};
const Op *const kOps[] = {&kVerify, &kIdentify, &kSearch};

std::string s(int status) { return "S" + std::to_string(status); }

void script_press_and_feature(int value)
{
    script_quality({70});
    kelvs_script_out(KELVS_ExtractFeature, 0, value, 0);
}

class Matching : public NoLeftoverConnections {};

TEST_F(Matching, VerifyMatchesOnlyTheGivenIndex)
{
    Device d;
    open_host(d);
    store_record(kDriver, 5, 0, "a", {encode(blocks_template({1}))});
    store_record(kDriver, 5, 1, "b", {encode(blocks_template({2}))});
    store_record(kDriver, 6, 1, "c", {encode(blocks_template({3}))});
    VerifySpy spy;
    script_press_and_feature(0x21);
    kelvs_script_out(KELVS_VerifyExt, 0, 80, 0);

    EXPECT_EQ(kelvra_ops_verify(d.dev(), ACTION_START, 5, 1), 1);
    EXPECT_EQ(d.journal(), "S301 N10 N12 N13 R300 N300 S0");
    ASSERT_EQ(spy.count(), 1u);
    EXPECT_EQ(spy.calls()[0].templates, digest(blocks_template({2})));
    EXPECT_EQ(spy.calls()[0].probe, digest(std::vector<unsigned char>(kBlock, 0x21)));
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_FINISHED);
    // The press and template prompts are logged; the identify prompt is not.
    EXPECT_EQ(d.count_line(BIO_LOG_DEBUG, "Please press your finger\n"), 1u);
    EXPECT_EQ(d.count_line(BIO_LOG_DEBUG, "Generating fingerprint characteristic data. Please wait...\n"), 1u);
    for (const LogLine &l : d.logs())
        EXPECT_EQ(l.text.find("Identifying fingerprint"), std::string::npos) << l.text;
}

TEST_F(Matching, NoStoredRecordIsNoMatch)
{
    for (const Op *op : kOps) {
        SCOPED_TRACE(op->name);
        Device d;
        open_host(d);
        store_record(kDriver, 8, 0, "someone else", {encode(blocks_template({1}))});
        VerifySpy spy;
        script_press_and_feature(0x21);
        FeatureListPtr list;

        const int answer = op->run(d.dev(), 5, 0, op == &kVerify ? 0 : -1, &list);

        EXPECT_EQ(answer, op == &kVerify ? 0 : -1);
        EXPECT_EQ(list, nullptr);
        EXPECT_EQ(d.journal(), s(op->doing) + " N10 N12 N13 R" + std::to_string(op->no_match_value) + " N" +
                                   std::to_string(op->no_match_value) + " S0");
        EXPECT_EQ(spy.count(), 0u);
    }
}

TEST_F(Matching, IdentifyAndSearchFindTheRecordThatHits)
{
    for (const Op *op : {&kIdentify, &kSearch}) {
        SCOPED_TRACE(op->name);
        Device d;
        open_host(d);
        store_record(kDriver, 1002, 0, "a", {encode(blocks_template({1}))});
        store_record(kDriver, 1001, 2, "b", {encode(blocks_template({2})), encode(blocks_template({3}))});
        store_record(kDriver, 1000, 3, "c", {encode(blocks_template({4}))});
        VerifySpy spy;
        script_press_and_feature(0x21);
        kelvs_script_out(KELVS_VerifyExt, 0, 10, 1);
        kelvs_script_out(KELVS_VerifyExt, 0, 10, 1);
        kelvs_script_out(KELVS_VerifyExt, 0, 90, 0);
        kelvs_script_out(KELVS_VerifyExt, 0, 90, 0);
        FeatureListPtr list;

        const int answer = op->run(d.dev(), -1, 0, -1, &list);

        EXPECT_EQ(d.journal(), s(op->doing) + " N10 N12 N13 R" + std::to_string(op->match_value) + " N" +
                                   std::to_string(op->match_value) + " S0");
        EXPECT_EQ(spy.count(), 3u);
        if (op == &kIdentify) {
            EXPECT_EQ(answer, 1001);
        } else {
            ASSERT_NE(list, nullptr);
            EXPECT_EQ(list->next, nullptr);
            EXPECT_EQ(list->uid, 1001);
            EXPECT_EQ(list->index, 2);
            ASSERT_NE(list->sample, nullptr);
            EXPECT_EQ(list->sample->no, 2);
            EXPECT_EQ(list->sample->next, nullptr);
        }
    }
}

TEST_F(Matching, ExtractionErrorEndsBeforeTheDatabase)
{
    for (const Op *op : kOps) {
        SCOPED_TRACE(op->name);
        Device d;
        open_host(d);
        store_record(kDriver, 5, 0, "a", {encode(blocks_template({1}))});
        VerifySpy spy;
        script_quality({70});
        kelvs_script_rc(KELVS_ExtractFeature, 7);
        bio_testing_fail_nth(BIO_FAULT_CONNECT, 1);
        FeatureListPtr list;

        EXPECT_EQ(op->run(d.dev(), 5, 0, 0, &list), -1);
        EXPECT_EQ(d.journal(), s(op->doing) + " N10 N12 Rc2 S0 N9");
        EXPECT_STREQ(d.priv()->extra_info, "Generate fingerprint characteristics error, error code: 7");
        EXPECT_EQ(d.take_errors(), std::vector<std::string>{std::string(d.priv()->extra_info) + "\n"});
        EXPECT_EQ(spy.count(), 0u);
        EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_RUNNING);
        // The fault is still armed: nothing connected during the operation.
        bio_sto_db *db = bio_sto_connect_db();
        EXPECT_EQ(db, nullptr);
        if (db != nullptr)
            bio_sto_disconnect_db(db);
        EXPECT_EQ(d.take_errors(), std::vector<std::string>{injected_fault_line(BIO_FAULT_CONNECT)});
    }
}

TEST_F(Matching, CaptureTimeOutEndsWithoutTemplatePrompts)
{
    for (const Op *op : kOps) {
        SCOPED_TRACE(op->name);
        Device d;  // no finger
        open_host(d);
        VerifySpy spy;
        FeatureListPtr list;

        EXPECT_EQ(op->run(d.dev(), 5, 0, -1, &list), -1);
        EXPECT_EQ(d.journal(), s(op->doing) + " N10 Rc4 Nc4 S0");
        EXPECT_EQ(kelvs_log_count(KELVS_ExtractFeature), 0u);
        EXPECT_EQ(spy.count(), 0u);
    }
}

TEST_F(Matching, StopDuringTheWalkIsReported)
{
    for (const Op *op : kOps) {
        SCOPED_TRACE(op->name);
        Device d;
        open_host(d);
        store_record(kDriver, 5, 0, "a", {encode(blocks_template({1})), encode(blocks_template({2}))});
        VerifySpy spy;
        kelvra_driver_t *priv = d.priv();
        spy.after_call([priv](int) { priv->ctrlFlag = CTRL_STOP_REQUESTED; });
        script_press_and_feature(0x21);
        kelvs_script_out(KELVS_VerifyExt, 0, 90, 0);
        FeatureListPtr list;

        EXPECT_EQ(op->run(d.dev(), 5, 0, 0, &list), -1);
        EXPECT_EQ(list, nullptr);
        EXPECT_EQ(d.journal(), s(op->doing) + " N10 N12 N13 Rc3 Nc3 S0");
        EXPECT_EQ(spy.count(), 1u);
        EXPECT_EQ(priv->ctrlFlag.load(), CTRL_STOPPED);
    }
}

// A stop that comes while the finger is being captured (and the frame is good) is still pending when
// the walk would begin; the walk honours it instead of arming itself over it.
TEST_F(Matching, StopPendingAfterTheCaptureIsReported)
{
    Device d;
    open_host(d);
    store_record(kDriver, 5, 0, "a", {encode(blocks_template({1}))});
    VerifySpy spy;
    kelvs_clock clock{[](void *) { return FakeTime::now_us(); },
                      [](void *user, int64_t us) {
                          FakeTime::advance_ms(us / 1000);
                          static_cast<kelvra_driver_t *>(user)->ctrlFlag = CTRL_STOP_REQUESTED;
                      },
                      d.priv()};
    kelvs_set_clock(&clock);
    script_press_and_feature(0x21);
    kelvs_script_out(KELVS_VerifyExt, 0, 90, 0);

    EXPECT_EQ(kelvra_ops_verify(d.dev(), ACTION_START, 5, 0), -1);
    FakeTime::install();
    EXPECT_EQ(d.journal(), "S301 N10 N12 N13 Rc3 Nc3 S0");
    EXPECT_EQ(spy.count(), 0u);
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_STOPPED);
}

TEST_F(Matching, SecondOperationWithoutReopenTimesOutAtOnce)
{
    Device d;
    open_host(d);
    script_press_and_feature(0x21);
    EXPECT_EQ(kelvra_ops_verify(d.dev(), ACTION_START, 5, 0), 0);
    d.mark();
    kelvs_log_clear();

    EXPECT_EQ(kelvra_ops_verify(d.dev(), ACTION_START, 5, 0), -1);
    EXPECT_EQ(d.journal(), "S301 N10 Rc4 Nc4 S0");
    EXPECT_EQ(kelvs_log_count(KELVS_CaptureRawData), 0u);
}

}  // namespace
