// enroll_chip_test.cpp - on-chip enrollment: the user's limit, the six presses, the step loop, the store
// and the bookkeeping record.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bio_host_testing.h"
#include "chip_support.h"
#include "harness.h"
#include "kelvra_internal.h"

namespace {

using chip_test::calls_of;
using chip_test::enrollment_frames;
using chip_test::queue_frames;
using chip_test::queue_steps;
using chip_test::store_record;
using chip_test::Trace;

constexpr int kUid = 1000;

class ChipEnroll : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(device.open(), 0);
        ASSERT_NE(mocmohFlag_Dev1, 0);
        kelvs_log_clear();
        device.mark();
        device.clear_logs();
    }
    void TearDown() override { bio_testing_clear_faults(); }

    int enroll(int uid = kUid, int idx = 1, const char *name = "right thumb")
    {
        std::string copy = name;
        testing::internal::CaptureStdout();  // the presence wait's score lines
        const int ret = kelvra_ops_enroll(device.dev(), ACTION_START, uid, idx, copy.data());
        testing::internal::GetCapturedStdout();
        return ret;
    }

    feature_info *records(int uid = kUid)
    {
        bio_sto_db *db = bio_sto_connect_db();
        feature_info *list = bio_sto_get_feature_info(db, uid, 0, device.dev()->device_name, 0, -1);
        bio_sto_disconnect_db(db);
        return list;
    }

    std::string extra_info() const { return device_priv()->extra_info; }
    kelvra_driver_t *device_priv() const { return const_cast<kelvra_test::Device &>(device).priv(); }

    kelvra_test::Device device{chip_test::chip_options()};
};

std::string progress(int press)
{
    return "[" + std::to_string(press) +
           "/6] fingerprint is being sampled. Please press different parts of your finger";
}

// ---- The user's limit ------------------------------------------------------------------------

TEST_F(ChipEnroll, TenStoredSamplesEndWithTheLimitText)
{
    for (int idx = 0; idx < 10; ++idx)
        store_record(device, kUid, idx, "f", {""});
    Trace trace(device);

    EXPECT_EQ(enroll(), -1);
    EXPECT_EQ(trace.joined(), "sleep 1000, S201, N9, sleep 1500, Rc201, S0");
    EXPECT_EQ(extra_info(), "该用户指纹注册个数已达上限!");
    EXPECT_EQ(kelvs_log_count(KELVS_CaptureRawData), 0u);
    EXPECT_EQ(kelvs_log_count(KELVS_EnrollForOS), 0u);
}

TEST_F(ChipEnroll, NineStoredSamplesStillAllowOneMore)
{
    // Nine samples in three records of both work modes (a host-side template text counts too).
    store_record(device, kUid, 0, "a", {"", "", ""});
    store_record(device, kUid, 1, "b", {"AAAA", "AAAA", "AAAA"});
    store_record(device, kUid, 2, "c", {"", "", ""});
    // Other users' and other drivers' records do not count.
    for (int idx = 0; idx < 10; ++idx) {
        store_record(device, kUid + 1, idx, "other user", {""});
        store_record(device, kUid, 20 + idx, "other driver", {""}, "another-driver");
    }
    chip_test::script_accepted_enrollment();

    EXPECT_EQ(enroll(kUid, 9), 0);
    EXPECT_EQ(device.journal(), "S201 N9 N11 N9 N11 N9 N11 N9 N11 N9 N11 N9 R200 N200 S0");
}

TEST_F(ChipEnroll, SampleCountSaturatesInsteadOfWrapping)
{
    // 256 samples would read as 0 in a byte that wraps.
    std::vector<std::string> samples(256, "");
    store_record(device, kUid, 0, "many", samples);
    unsigned char count = 7;
    EXPECT_EQ(iops_internel_enroll_count(device.dev(), &count, kUid, 0, -1), 1);
    EXPECT_EQ(count, 255);

    EXPECT_EQ(enroll(), -1);
    EXPECT_EQ(extra_info(), "该用户指纹注册个数已达上限!");
    EXPECT_EQ(kelvs_log_count(KELVS_EnrollForOS), 0u);
}

TEST_F(ChipEnroll, CountCoversTheRangeOnly)
{
    store_record(device, kUid, 1, "a", {"", ""});
    store_record(device, kUid, 5, "b", {""});
    store_record(device, kUid, 9, "c", {"", "", ""});
    unsigned char count = 0;
    iops_internel_enroll_count(device.dev(), &count, kUid, 0, -1);
    EXPECT_EQ(count, 6);
    iops_internel_enroll_count(device.dev(), &count, kUid, 2, 8);
    EXPECT_EQ(count, 1);
    iops_internel_enroll_count(device.dev(), &count, kUid + 7, 0, -1);
    EXPECT_EQ(count, 0);
}

// ---- Six presses --------------------------------------------------------------------------------

TEST_F(ChipEnroll, SixPressesWithTheirPromptsAndPauses)
{
    Trace trace(device);
    chip_test::script_accepted_enrollment();

    EXPECT_EQ(enroll(), 0);
    // Per press: the progress text, a press frame (no pause), 50 ms before the step, then for
    // presses 1 to 4 the lift prompt and three empty frames (two pauses); after press 5 the lift
    // prompt and a fixed second; after press 6 half a second before the store.
    std::string expected = "sleep 1000, S201";
    for (int press = 1; press <= 4; ++press)
        expected += ", N9, sleep 50, N11, sleep 50, sleep 50";
    expected += ", N9, sleep 50, N11, sleep 1000";
    expected += ", N9, sleep 50, sleep 500, R200, N200, S0";
    EXPECT_EQ(trace.joined(), expected);

    std::vector<std::string> texts;
    for (int press = 1; press <= 6; ++press)
        texts.push_back(progress(press));
    EXPECT_EQ(trace.messages(), texts);

    // Steps numbered 1 to 6, each after its press, and one store.
    const auto steps = calls_of(KELVS_EnrollForOS);
    ASSERT_EQ(steps.size(), 6u);
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(steps[k].arg[0], k + 1);
    EXPECT_EQ(kelvs_log_count(KELVS_StoreTemplateForOS), 1u);
    EXPECT_EQ(kelvs_log_count(KELVS_CaptureRawData), 18u);
    EXPECT_EQ(kelvs_scripts_pending(KELVS_CaptureRawData), 0u);

    // The prompts are logged as they are shown.
    for (int press = 1; press <= 6; ++press)
        EXPECT_EQ(device.count_line(BIO_LOG_DEBUG, progress(press) + "\n"), 1u) << press;
}

TEST_F(ChipEnroll, OverlappingPressIsTakenAgainUnderTheSameNumber)
{
    Trace trace(device);
    // Press 3 overlaps: overlap text, lift wait (three empty frames), press 3 again.
    std::vector<std::vector<unsigned char>> frames;
    auto press = [&] { frames.push_back(chip_test::full_press_frame()); };
    auto lift = [&] {
        for (int k = 0; k < 3; ++k)
            frames.push_back(chip_test::empty_frame());
    };
    press(), lift(), press(), lift();  // presses 1, 2
    press(), lift();                   // press 3, refused
    press(), lift(), press(), lift();  // presses 3, 4
    press(), press();                  // presses 5, 6
    queue_frames(frames);
    queue_steps({0, 0, 32, 0, 0, 0, 0});
    kelvs_script_rc(KELVS_StoreTemplateForOS, 0);

    EXPECT_EQ(enroll(), 0);
    const std::vector<std::string> expected{progress(1), progress(2), progress(3),
                                            "该次注册重复度高，请抬起手指，重新按压不同位置\n",
                                            progress(3), progress(4), progress(5), progress(6)};
    EXPECT_EQ(trace.messages(), expected);
    // No lift prompt on the overlap path: 9 (press 3), 9 (overlap), 9 (press 3 again).
    EXPECT_EQ(device.journal(), "S201 N9 N11 N9 N11 N9 N9 N9 N11 N9 N11 N9 N11 N9 R200 N200 S0");
    const auto steps = calls_of(KELVS_EnrollForOS);
    ASSERT_EQ(steps.size(), 7u);
    EXPECT_EQ(steps[2].arg[0], 3);
    EXPECT_EQ(steps[3].arg[0], 3);
}

TEST_F(ChipEnroll, FingerAlreadyOnTheSensorEndsTheEnrollment)
{
    Trace trace(device);
    queue_frames({chip_test::full_press_frame()});
    queue_steps({252});

    EXPECT_EQ(enroll(), -1);
    EXPECT_EQ(trace.joined(), "sleep 1000, S201, N9, sleep 50, N9, sleep 1500, Rc201, S0");
    EXPECT_EQ(extra_info(), "该手指已注册\n");
    EXPECT_EQ(kelvs_log_count(KELVS_StoreTemplateForOS), 0u);
    EXPECT_EQ(records(), nullptr);
}

TEST_F(ChipEnroll, SensorGivingUpIsATimeOut)
{
    queue_frames({chip_test::full_press_frame(), chip_test::empty_frame(), chip_test::empty_frame(),
                  chip_test::empty_frame(), chip_test::full_press_frame()});
    queue_steps({0, 254});

    EXPECT_EQ(enroll(), -1);
    EXPECT_EQ(device.journal(), "S201 N9 N11 N9 Rc4 Nc4 S0 Rc201 S0");
    EXPECT_EQ(kelvs_log_count(KELVS_EnrollForOS), 2u);
}

TEST_F(ChipEnroll, PressWaitThatTimesOutFailsWithTheProgressTextStillShown)
{
    device.priv()->timeoutMS = 600;
    EXPECT_EQ(enroll(), -1);
    EXPECT_EQ(device.journal(), "S201 N9 Rc4 Nc4 S0 Rc201 S0");
    EXPECT_EQ(extra_info(), progress(1));
    EXPECT_EQ(kelvs_log_count(KELVS_EnrollForOS), 0u);
}

TEST_F(ChipEnroll, LiftWaitThatTimesOutFailsAfterTheLiftPrompt)
{
    kelvs_answer pressed{};
    pressed.has_out = 1;
    pressed.out[0] = 0;
    kelvs_script_always(KELVS_CaptureRawData, &pressed);
    queue_steps({0});
    device.priv()->timeoutMS = 600;
    EXPECT_EQ(enroll(), -1);
    EXPECT_EQ(device.journal(), "S201 N9 N11 Rc4 Nc4 S0 Rc201 S0");
}

// ---- The step loop ----------------------------------------------------------------------------

TEST_F(ChipEnroll, StepLoopPollsUntilTheSensorDecides)
{
    Trace trace(device);
    queue_steps({28, 4, 6, 7, 1, 0});
    EXPECT_EQ(iops_fingerEnroll_status_check(device.dev(), 2), 0);
    // The first call at once, then 50 ms between calls; poor images are shown and logged.
    EXPECT_EQ(trace.joined(), "sleep 50, N9, sleep 50, N9, sleep 50, N9, sleep 50, sleep 50");
    const std::string poor = "The fingerprint image quality is poor[0], please press your finger again\n";
    EXPECT_EQ(trace.messages(), (std::vector<std::string>{poor, poor, poor}));
    EXPECT_EQ(device.take_errors(), std::vector<std::string>(3, poor + "\n"));
    for (const auto &step : calls_of(KELVS_EnrollForOS))
        EXPECT_EQ(step.arg[0], 2);
}

TEST_F(ChipEnroll, StepLoopReturnsOverlapAndAlreadyStored)
{
    queue_steps({32});
    EXPECT_EQ(iops_fingerEnroll_status_check(device.dev(), 1), 32);
    queue_steps({28, 252});
    EXPECT_EQ(iops_fingerEnroll_status_check(device.dev(), 1), 252);
    EXPECT_EQ(device.journal(), "");
    // The step number is one byte.
    queue_steps({0});
    EXPECT_EQ(iops_fingerEnroll_status_check(device.dev(), 259), 0);
    EXPECT_EQ(calls_of(KELVS_EnrollForOS).back().arg[0], 3);
}

TEST_F(ChipEnroll, StepLoopTimesOut)
{
    kelvs_answer waiting{};
    waiting.rc = 28;
    kelvs_script_always(KELVS_EnrollForOS, &waiting);
    device.priv()->timeoutMS = 1000;
    const int64_t before = kelvra_test::FakeTime::now_us();
    EXPECT_EQ(iops_fingerEnroll_status_check(device.dev(), 1), -1);
    EXPECT_GE(kelvra_test::FakeTime::now_us() - before, 1000 * 1000);
    EXPECT_EQ(device.journal(), "Rc4 Nc4 S0");
    EXPECT_EQ(kelvs_log_count(KELVS_EnrollForOS), 20u);
    EXPECT_EQ(device.priv()->ctrlFlag.load(), CTRL_RUNNING);

    // A flag that is neither running nor a stop request reads as a time-out, without a call.
    kelvs_log_clear();
    device.mark();
    device.priv()->ctrlFlag = CTRL_FINISHED;
    EXPECT_EQ(iops_fingerEnroll_status_check(device.dev(), 1), -1);
    EXPECT_EQ(device.journal(), "Rc4 Nc4 S0");
    EXPECT_EQ(kelvs_log_count(KELVS_EnrollForOS), 0u);
}

TEST_F(ChipEnroll, StopInTheStepLoopIsAcknowledged)
{
    Trace trace(device);
    queue_frames({chip_test::full_press_frame()});
    kelvs_answer waiting{};
    waiting.rc = 28;
    kelvs_script_always(KELVS_EnrollForOS, &waiting);
    // The stop arrives during the third pause of the step loop (the first pause is the entry's,
    // the second the one before the step).
    trace.on_sleep = [&](int, int nth) {
        if (nth == 5)
            device.priv()->ctrlFlag = CTRL_STOP_REQUESTED;
    };
    EXPECT_EQ(enroll(), -1);
    EXPECT_EQ(device.priv()->ctrlFlag.load(), CTRL_STOPPED);
    EXPECT_EQ(device.journal(), "S201 N9 Rc3 Nc3 S0 Rc201 S0");
    EXPECT_EQ(kelvs_log_count(KELVS_EnrollForOS), 3u);
    EXPECT_EQ(bio_get_notify_mid(device.dev()), NOTIFY_COMM_STOP_BY_USER);
}

// Makes sure a stop that ends one of the finger waits is told as a stop and answered, as the step loop
// does. An example failure: the wait giving up on the request like on a time-out, the enrollment ending as
// a plain failure and the stop request waiting its whole bound for an answer that never comes.
TEST_F(ChipEnroll, FingerWaitsEndedByAStopOrATimeOutSayWhich)
{
    const auto press = chip_test::full_press_frame();
    const auto empty = chip_test::empty_frame();
    std::vector<std::vector<unsigned char>> five_presses = enrollment_frames();
    five_presses.pop_back();  // the sixth press never comes
    struct Case {
        const char *what;
        std::vector<std::vector<unsigned char>> frames;  // queued; then the last one stays
        std::vector<int> steps;
        bool stop;          // else the wait times out
        int stop_at_sleep;  // the pause during which the request arrives (1 is the entry pause)
        std::string journal;
    };
    const Case cases[] = {
        {"press wait of press 1", {empty}, {}, true, 3, "S201 N9 Rc3 Nc3 S0 Rc201 S0"},
        {"lift wait after press 1", {press}, {0}, true, 4, "S201 N9 N11 Rc3 Nc3 S0 Rc201 S0"},
        {"lift wait after an overlap", {press}, {32}, true, 4, "S201 N9 N9 Rc3 Nc3 S0 Rc201 S0"},
        {"press 6 after the pause that follows press 5", five_presses, {0, 0, 0, 0, 0}, true, 15,
         "S201 N9 N11 N9 N11 N9 N11 N9 N11 N9 N11 N9 Rc3 Nc3 S0 Rc201 S0"},
        {"press wait of press 1, timed out", {empty}, {}, false, 0, "S201 N9 Rc4 Nc4 S0 Rc201 S0"},
        {"lift wait after an overlap, timed out", {press}, {32}, false, 0, "S201 N9 N9 Rc4 Nc4 S0 Rc201 S0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kelvra_test::Device d{chip_test::chip_options(600)};
        ASSERT_EQ(d.open(), 0);
        Trace trace(d);
        queue_frames(c.frames);
        kelvs_answer last{};
        last.image = c.frames.back().data();
        last.image_size = c.frames.back().size();
        kelvs_script_always(KELVS_CaptureRawData, &last);
        for (int step : c.steps)
            queue_steps({step});
        if (c.stop)
            trace.on_sleep = [&](int, int nth) {
                if (nth == c.stop_at_sleep)
                    d.priv()->ctrlFlag = CTRL_STOP_REQUESTED;
            };
        d.mark();
        std::string name = "x";
        testing::internal::CaptureStdout();
        EXPECT_EQ(kelvra_ops_enroll(d.dev(), ACTION_START, kUid, 1, name.data()), -1);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(d.journal(), c.journal);
        EXPECT_EQ(d.priv()->ctrlFlag.load(), c.stop ? CTRL_STOPPED : CTRL_RUNNING);
        EXPECT_EQ(kelvs_log_count(KELVS_StoreTemplateForOS), 0u);
    }
}

// ---- Which index the sensor can hold ----------------------------------------------------------
// Makes sure an index is refused when the sensor would store it as the finger byte 255 (every finger)
// or as the byte of another of the user's fingers. An example failure: index 300 stored as finger 44
// beside the user's index 44, so that deleting one deletes both.

TEST_F(ChipEnroll, IndexTheSensorCannotHoldApartIsRefusedBeforeAnySensorCall)
{
    auto refusal = [](int idx) {
        return "The sensor cannot keep index " + std::to_string(idx) +
               " apart from the user's other fingerprints, please choose another index";
    };
    struct Case {
        int idx;
        std::vector<int> stored;  // the user's indexes before
        bool refused;
    };
    const Case cases[] = {
        {255, {}, true},        {-1, {}, true},          {300, {44}, true}, {44, {300}, true},
        {556, {300}, true},     {300, {}, false},        {44, {44}, false}, {7, {1, 300}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "index " << c.idx);
        kelvra_test::Device d{chip_test::chip_options()};
        ASSERT_EQ(d.open(), 0);
        for (int index : c.stored)
            store_record(d, kUid, index, "stored", {""});
        store_record(d, kUid + 1, 44 + 256, "another user's", {""});
        if (!c.refused)
            chip_test::script_accepted_enrollment();
        kelvs_log_clear();
        d.mark();
        d.clear_logs();
        std::string name = "new";
        testing::internal::CaptureStdout();
        const int ret = kelvra_ops_enroll(d.dev(), ACTION_START, kUid, c.idx, name.data());
        testing::internal::GetCapturedStdout();

        bio_sto_db *db = bio_sto_connect_db();
        feature_info *list = bio_sto_get_feature_info(db, kUid, 0, d.dev()->device_name, -1000, -1);
        bio_sto_disconnect_db(db);
        size_t listed = 0;
        for (const feature_info *record = list; record != nullptr; record = record->next)
            ++listed;
        bio_sto_free_feature_info_list(list);

        if (c.refused) {
            EXPECT_EQ(ret, -1);
            EXPECT_EQ(d.journal(), "S201 N9 Rc201 S0");
            EXPECT_EQ(std::string(d.priv()->extra_info), refusal(c.idx));
            EXPECT_EQ(d.take_errors(), std::vector<std::string>{refusal(c.idx) + "\n"});
            EXPECT_EQ(kelvs_log_size(), 0u) << "no sensor call";
            EXPECT_EQ(listed, c.stored.size());
        } else {
            EXPECT_EQ(ret, 0);
            EXPECT_EQ(d.journal(), "S201 N9 N11 N9 N11 N9 N11 N9 N11 N9 N11 N9 R200 N200 S0");
            EXPECT_EQ(listed, c.stored.size() + 1);
        }
    }
}

// ---- Store and records ------------------------------------------------------------------------

TEST_F(ChipEnroll, RecordsCarryUidIndexAndTag)
{
    chip_test::script_accepted_enrollment();
    EXPECT_EQ(enroll(258, 300, "index 300"), 0);

    const auto stores = calls_of(KELVS_StoreTemplateForOS);
    ASSERT_EQ(stores.size(), 1u);
    ASSERT_EQ(stores[0].has_record, 2);
    unsigned char user[64] = {0x02, 0x01, 0x00, 0x00};
    EXPECT_EQ(chip_test::hex(stores[0].user_record, 64), chip_test::hex(user, 64));
    unsigned char finger[64] = {44};
    finger[55] = 4;
    finger[56] = 'z', finger[57] = 'u', finger[58] = 'v', finger[59] = 'o';
    EXPECT_EQ(chip_test::hex(stores[0].finger_record, 64), chip_test::hex(finger, 64));

    // The host record keeps the full index; its one sample has no 1 and no data.
    feature_info *list = records(258);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->next, nullptr);
    EXPECT_EQ(list->index, 300);
    EXPECT_STREQ(list->index_name, "index 300");
    EXPECT_STREQ(list->driver, device.dev()->device_name);
    EXPECT_EQ(list->biotype, BioT_FingerPrint);
    ASSERT_NE(list->sample, nullptr);
    EXPECT_EQ(list->sample->next, nullptr);
    EXPECT_EQ(list->sample->no, 1);
    EXPECT_STREQ(list->sample->data, "");
    bio_sto_free_feature_info_list(list);
}

TEST_F(ChipEnroll, UserRecordForEveryUserIsAllOnes)
{
    chip_test::script_accepted_enrollment();
    EXPECT_EQ(enroll(-1, 2), 0);
    const auto stores = calls_of(KELVS_StoreTemplateForOS);
    ASSERT_EQ(stores.size(), 1u);
    unsigned char user[64] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(chip_test::hex(stores[0].user_record, 64), chip_test::hex(user, 64));
    EXPECT_EQ(stores[0].finger_record[0], 2);
}

TEST_F(ChipEnroll, FullSensorRefusesTheStore)
{
    queue_frames(enrollment_frames());
    queue_steps({0, 0, 0, 0, 0, 0});
    kelvs_script_rc(KELVS_StoreTemplateForOS, 50);

    EXPECT_EQ(enroll(), -1);
    EXPECT_EQ(extra_info(), "No more userid to store tempFeature, error code: 50");
    EXPECT_EQ(device.journal(), "S201 N9 N11 N9 N11 N9 N11 N9 N11 N9 N11 N9 Rc2 S0 N9");
    EXPECT_EQ(device.take_errors(), std::vector<std::string>{"No more userid to store tempFeature, error code: 50\n"});
    EXPECT_EQ(records(), nullptr);
}

TEST_F(ChipEnroll, OtherStoreErrorsShowTheirCode)
{
    queue_frames(enrollment_frames());
    queue_steps({0, 0, 0, 0, 0, 0});
    kelvs_script_rc(KELVS_StoreTemplateForOS, 7);

    EXPECT_EQ(enroll(), -1);
    EXPECT_EQ(extra_info(), "Generate fingerprint template error, error code: 7");
    EXPECT_EQ(device.take_errors(), std::vector<std::string>{"Generate fingerprint template error, error code: 7\n"});
    EXPECT_EQ(bio_get_ops_result(device.dev()), OPS_COMM_ERROR);
    EXPECT_EQ(records(), nullptr);
}

// The database cannot take the bookkeeping record after the sensor stored the template: the
// template is removed again so that sensor and database agree, and the enrollment fails. The virtual
// finger enrolls for real here, so the sensor's store really holds the template before the removal.
TEST_F(ChipEnroll, UnrecordedFingerIsRemovedFromTheSensorAgain)
{
    device.priv()->timeoutMS = 30000;
    for (bio_fault_point fault : {BIO_FAULT_CONNECT, BIO_FAULT_STORE}) {
        SCOPED_TRACE(fault);
        kelvs_log_clear();
        kelvs_finger_auto("thumb");
        // Connections: the user's records, read twice since there are none, then the bookkeeping write.
        bio_testing_fail_nth(fault, fault == BIO_FAULT_CONNECT ? 3 : 1);
        device.mark();

        EXPECT_EQ(enroll(258, 300), -1);
        kelvs_finger_auto(nullptr);
        EXPECT_EQ(device.journal().substr(device.journal().size() - 9), "Rc2 N9 S0");
        EXPECT_EQ(extra_info(),
                  "The fingerprint could not be recorded and was removed from the sensor again. Please enroll it again");
        EXPECT_EQ(device.take_errors(), (std::vector<std::string>{kelvra_test::injected_fault_line(fault),
                                                                  extra_info() + "\n"}));
        ASSERT_EQ(kelvs_log_count(KELVS_StoreTemplateForOS), 1u);
        const auto deletions = calls_of(KELVS_DelUserFpsFroOS);
        ASSERT_EQ(deletions.size(), 1u);
        EXPECT_EQ(deletions[0].user_record[0], 0x02);
        EXPECT_EQ(deletions[0].user_record[1], 0x01);
        EXPECT_EQ(deletions[0].user_record[2], 0x00);
        EXPECT_EQ(deletions[0].finger_record[0], 44);
        EXPECT_EQ(kelvs_store_count(), 0);
        EXPECT_EQ(records(258), nullptr);
        bio_testing_clear_faults();
    }
}

TEST_F(ChipEnroll, UnrecordedFingerThatCannotBeRemovedSaysSo)
{
    chip_test::script_accepted_enrollment();
    bio_testing_fail_nth(BIO_FAULT_STORE, 1);
    kelvs_script_rc(KELVS_DelUserFpsFroOS, 9);

    EXPECT_EQ(enroll(), -1);
    EXPECT_EQ(extra_info(),
              "The fingerprint could not be recorded, and removing it from the sensor failed, error code: 9");
    EXPECT_EQ(device.take_errors(), (std::vector<std::string>{kelvra_test::injected_fault_line(BIO_FAULT_STORE),
                                                              extra_info() + "\n"}));
    EXPECT_EQ(bio_get_ops_result(device.dev()), OPS_COMM_ERROR);
    EXPECT_EQ(bio_get_dev_status(device.dev()), DEVS_COMM_IDLE);
}

// An open whose removal of an earlier installation's templates failed leaves it to the next open, which
// would take every finger stored meanwhile with it: the enrollment has the sensor remove them first, and
// enrolls nothing while it cannot.
TEST_F(ChipEnroll, EarlierInstallationsTemplatesAreRemovedBeforeAFingerIsStored)
{
    for (int answer : {-2, 7, 0}) {
        SCOPED_TRACE(answer);
        std::filesystem::remove(device.marker_path());
        kelvs_script_rc(KELVS_DelOSInfoFpsFroOS, answer);
        if (answer == 0)
            chip_test::script_accepted_enrollment();
        kelvs_log_clear();
        device.mark();

        EXPECT_EQ(enroll(), answer == 0 ? 0 : -1);
        EXPECT_EQ(kelvs_log_count(KELVS_DelOSInfoFpsFroOS), 1u);
        EXPECT_EQ(std::filesystem::exists(device.marker_path()), answer == 0);
        if (answer == 0) {
            EXPECT_EQ(kelvs_log_count(KELVS_StoreTemplateForOS), 1u);
            continue;
        }
        const std::string refusal = "The sensor still holds fingerprints of an earlier installation and could not "
                                    "remove them, error code: " + std::to_string(answer) + "; nothing was enrolled";
        EXPECT_EQ(extra_info(), refusal);
        EXPECT_EQ(device.journal(), "S201 Rc2 N9 S0");
        EXPECT_EQ(device.take_errors(), std::vector<std::string>{refusal + "\n"});
        EXPECT_EQ(kelvs_log_count(KELVS_EnrollForOS), 0u) << "no press was asked for";
    }
}

// Enrolling an index listed already replaces its finger on the sensor, which no deletion brings back: the
// record is written first, and when it cannot be the sensor is not asked to store, so the earlier finger
// stays where it is.
TEST_F(ChipEnroll, UnrecordedFingerOfAListedIndexLeavesTheEarlierOneInPlace)
{
    store_record(device, kUid, 1, "old thumb", {""});
    chip_test::script_accepted_enrollment();
    bio_testing_fail_nth(BIO_FAULT_STORE, 1);

    EXPECT_EQ(enroll(), -1);
    EXPECT_EQ(extra_info(),
              "The fingerprint could not be recorded; the one enrolled before as index 1 stays on the sensor");
    EXPECT_EQ(device.take_errors(), (std::vector<std::string>{kelvra_test::injected_fault_line(BIO_FAULT_STORE),
                                                              extra_info() + "\n"}));
    EXPECT_EQ(device.journal().substr(device.journal().size() - 9), "Rc2 N9 S0");
    EXPECT_EQ(kelvs_log_count(KELVS_StoreTemplateForOS), 0u);
    EXPECT_EQ(kelvs_log_count(KELVS_DelUserFpsFroOS), 0u);
    feature_info *listed = records();
    ASSERT_NE(listed, nullptr);
    EXPECT_STREQ(listed->index_name, "old thumb");
    EXPECT_EQ(listed->next, nullptr);
    bio_sto_free_feature_info_list(listed);
}

}  // namespace
