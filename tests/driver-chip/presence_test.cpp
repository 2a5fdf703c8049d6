// presence_test.cpp - the match-on-chip wait for a press or a lift, frame by frame.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "chip_support.h"
#include "harness.h"
#include "kelvra_internal.h"
#include "kelvra_presence.h"

namespace {

using chip_test::frame_scoring;
using chip_test::full_press_frame;
using chip_test::queue_frames;
using chip_test::Trace;

class PresenceWait : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(device.open(), 0);
        ASSERT_EQ(mocmohFlag_Dev1, 1);
        kelvs_log_clear();
        device.mark();
    }

    // Runs one wait and keeps its score lines in out.
    int wait(int action)
    {
        testing::internal::CaptureStdout();
        const int ret = iops_finger_status_check_moc(device.dev(), action, 1);
        out = testing::internal::GetCapturedStdout();
        return ret;
    }
    size_t captures() const { return kelvs_log_count(KELVS_CaptureRawData); }

    kelvra_test::Device device{chip_test::chip_options()};
    std::string out;
};

TEST(PresenceRule, EightyFiveIsNeitherAPressNorAnEmptySensor)
{
    EXPECT_FALSE(kelvra::frame_shows_press(85.0f));
    EXPECT_FALSE(kelvra::frame_shows_no_finger(85.0f));
    EXPECT_TRUE(kelvra::frame_shows_press(85.01f));
    EXPECT_TRUE(kelvra::frame_shows_no_finger(84.99f));
}

TEST_F(PresenceWait, PressIsTakenOnTheFirstFrameAboveThresholdWithoutPause)
{
    Trace trace(device);
    queue_frames({full_press_frame()});
    EXPECT_EQ(wait(1), 0);
    EXPECT_EQ(out, "\n enroll imgScore = 97");
    EXPECT_EQ(captures(), 1u);
    EXPECT_TRUE(trace.sleeps().empty());
    EXPECT_EQ(trace.joined(), "");  // nothing is reported to the host
}

TEST_F(PresenceWait, PressNeedsMoreThanEightyFive)
{
    Trace trace(device);
    // 84.98 is no press; 85.95 is.
    queue_frames({frame_scoring(84), frame_scoring(84), frame_scoring(85)});
    EXPECT_EQ(wait(1), 0);
    EXPECT_EQ(out,
              "\n enroll imgScore = 84\n enroll imgScore = 84\n enroll imgScore = 85");
    EXPECT_EQ(captures(), 3u);
    EXPECT_EQ(trace.sleeps(), (std::vector<int>{50, 50}));
}

TEST_F(PresenceWait, LiftNeedsThreeEmptyFramesInARow)
{
    Trace trace(device);
    queue_frames({frame_scoring(90), frame_scoring(10), frame_scoring(10), frame_scoring(90), frame_scoring(10),
                  frame_scoring(10), frame_scoring(10), frame_scoring(90)});
    EXPECT_EQ(wait(-1), 0);
    EXPECT_EQ(out,
              "\n enroll imgScore = 90\n enroll imgScore = 10\n enroll imgScore = 10\n enroll imgScore = 90"
              "\n enroll imgScore = 10\n enroll imgScore = 10\n enroll imgScore = 10");
    EXPECT_EQ(captures(), 7u);
    EXPECT_EQ(trace.sleeps().size(), 6u);
    EXPECT_EQ(kelvs_scripts_pending(KELVS_CaptureRawData), 1u);
}

TEST_F(PresenceWait, LiftCountsAFrameAboveThresholdAsTheFingerStillThere)
{
    queue_frames({frame_scoring(84), frame_scoring(84), frame_scoring(85), frame_scoring(84), frame_scoring(84),
                  frame_scoring(84)});
    EXPECT_EQ(wait(-1), 0);
    EXPECT_EQ(captures(), 6u);
}

TEST_F(PresenceWait, StoppedFlagOrNoTimeLeftEndsBeforeAnyCapture)
{
    for (int32_t flag : {CTRL_IDLE, CTRL_STOP_REQUESTED, CTRL_STOPPED, CTRL_FINISHED}) {
        device.priv()->ctrlFlag = flag;
        EXPECT_EQ(wait(1), -1) << flag;
        EXPECT_EQ(out, "") << flag;
        EXPECT_EQ(device.priv()->ctrlFlag.load(), flag);
    }
    device.priv()->ctrlFlag = CTRL_RUNNING;
    for (int timeout : {0, -5}) {
        device.priv()->timeoutMS = timeout;
        EXPECT_EQ(wait(-1), -1) << timeout;
        EXPECT_EQ(out, "") << timeout;
    }
    EXPECT_EQ(captures(), 0u);
    EXPECT_EQ(device.journal(), "");
}

TEST_F(PresenceWait, FailedCapturesReadAsAnEmptySensor)
{
    // A capture that fails without writing leaves the all-light fill.
    kelvs_answer failing{};
    failing.rc = -3;
    kelvs_script_always(KELVS_CaptureRawData, &failing);

    EXPECT_EQ(wait(-1), 0);
    EXPECT_EQ(out,
              "\n enroll imgScore = 0\n enroll imgScore = 0\n enroll imgScore = 0");
    EXPECT_EQ(captures(), 3u);

    kelvs_log_clear();
    device.priv()->timeoutMS = 1000;
    const int64_t before = kelvra_test::FakeTime::now_us();
    EXPECT_EQ(wait(1), -1);
    const int64_t waited_ms = (kelvra_test::FakeTime::now_us() - before) / 1000;
    EXPECT_GE(waited_ms, 1000);
    EXPECT_LT(waited_ms, 1000 + 50 + 100);  // ends within one frame after the time-out
    EXPECT_GE(captures(), 10u);
    EXPECT_LE(captures(), 20u);
}

TEST_F(PresenceWait, OtherActionsOnlyWatchUntilTheTimeOut)
{
    kelvs_answer pressed{};
    pressed.has_out = 1;
    pressed.out[0] = 0;
    kelvs_script_always(KELVS_CaptureRawData, &pressed);
    device.priv()->timeoutMS = 500;
    for (int action : {0, 2}) {
        kelvs_log_clear();
        EXPECT_EQ(wait(action), -1) << action;
        EXPECT_NE(out.find("\n enroll imgScore = 97"), std::string::npos);
        EXPECT_GT(captures(), 1u) << action;
    }
}

TEST_F(PresenceWait, StopDuringLiftLeavesTheRequestInPlace)
{
    Trace trace(device);
    kelvs_answer pressed{};
    pressed.has_out = 1;
    pressed.out[0] = 0;
    kelvs_script_always(KELVS_CaptureRawData, &pressed);
    trace.on_sleep = [&](int, int nth) {
        if (nth == 2)
            device.priv()->ctrlFlag = CTRL_STOP_REQUESTED;
    };
    EXPECT_EQ(wait(-1), -1);
    EXPECT_EQ(captures(), 2u);
    EXPECT_EQ(device.priv()->ctrlFlag.load(), CTRL_STOP_REQUESTED);
    EXPECT_EQ(trace.joined(), "sleep 50, sleep 50");
}

TEST_F(PresenceWait, FrameSizeIsFixedAtNinetySix)
{
    EXPECT_EQ(w, 96);
    EXPECT_EQ(h, 96);
    EXPECT_EQ(sizeof imgBuf, 9216u);
    queue_frames({full_press_frame()});
    EXPECT_EQ(wait(1), 0);
    EXPECT_EQ(w, 96);
    EXPECT_EQ(h, 96);
}

// Two devices of the module in one process share imgBuf; each waits on its own sensor handle, and
// the same pressed finger lies on both. Were one thread's fill landing in the other's frame between
// its capture and its measurement, that thread would measure a (partly) light frame; ThreadSanitizer
// reports the race itself.
TEST(PresenceWaitThreads, TwoDevicesDoNotMixTheirFrames)
{
    auto options = chip_test::chip_options();
    options.profile = "[Sensor]\nWorkMode=chip\nCount=2\n";
    kelvra_test::Device first(options);
    ASSERT_EQ(first.open(), 0);
    // A second device of the module on the same (thread-safe) SDK: the second sensor, its own handle.
    bio_dev second_dev{};
    kelvra_driver_t second_priv{};
    second_dev.dev_priv = &second_priv;
    second_dev.device_name = const_cast<char *>("kelvra-second");
    ASSERT_EQ(KELFPSCAN_OpenDevice(&second_priv.handle, 1), 0);
    second_priv.ctrlFlag = CTRL_RUNNING;
    second_priv.timeoutMS = 4000;
    first.priv()->timeoutMS = 4000;
    kelvs_log_clear();

    kelvs_finger_press("thumb", KELVS_CONTACT_FULL);
    std::atomic<int> first_result{99};
    std::atomic<int> second_result{99};
    testing::internal::CaptureStdout();
    std::thread a([&] { first_result = iops_finger_status_check_moc(first.dev(), -1, 1); });
    std::thread b([&] { second_result = iops_finger_status_check_moc(&second_dev, -1, 1); });
    a.join();
    b.join();
    const std::string out = testing::internal::GetCapturedStdout();
    KELFPSCAN_CloseDevice(&second_priv.handle);

    // Neither may see the finger leave, and every frame measured reads as the press it was.
    EXPECT_EQ(first_result.load(), -1);
    EXPECT_EQ(second_result.load(), -1);
    const std::string prefix = "\n enroll imgScore = ";
    size_t frames = 0;
    for (size_t at = out.find(prefix); at != std::string::npos; at = out.find(prefix, at + 1)) {
        ++frames;
        EXPECT_GE(std::stoi(out.substr(at + prefix.size())), 85) << out.substr(at, 30);
    }
    EXPECT_EQ(frames, kelvs_log_count(KELVS_CaptureRawData));
    EXPECT_GT(frames, 20u);
}

}  // namespace
