// capture_loop_test.cpp - the match-on-host finger wait: thresholds, entry states, failed captures, grading errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "host_support.h"
#include "kelvra_internal.h"

using namespace kelvra_test;
using namespace host_test;

namespace {

constexpr char kPoorText[] = "The fingerprint image quality is poor[0], please press your finger again\n";

size_t captures() { return kelvs_log_count(KELVS_CaptureRawData); }
size_t gradings() { return kelvs_log_count(KELVS_ImgQuality); }

TEST(CaptureLoop, PressPassesAbove50AndLiftAt24OrBelow)
{
    struct Case {
        int action;
        std::initializer_list<int> grades;
        size_t gradings_until_pass;
    };
    // The last grade of every list passes; the ones before must not.
    const Case cases[] = {
        {1, {50, 51}, 2},
        {1, {0, 24, 49, 50, 200}, 5},
        {-1, {25, 24}, 2},
        {-1, {100, 51, 25, 0}, 4},
        // Every action but 1 waits for the finger to leave.
        {0, {51, 25, 24}, 3},
        {2, {51, 25, 24}, 3},
        {-5, {25, 10}, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("action " + std::to_string(c.action));
        Device d;
        open_host(d);
        script_quality(c.grades);

        EXPECT_EQ(iops_finger_status_check(d.dev(), c.action), 0);
        EXPECT_EQ(gradings(), c.gradings_until_pass);
        EXPECT_EQ(captures(), c.gradings_until_pass);
        EXPECT_EQ(kelvs_scripts_pending(KELVS_ImgQuality), 0u);
        // A wait that is satisfied reports nothing and leaves the run flag alone.
        EXPECT_EQ(d.journal(), "");
        EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_RUNNING);
    }
}

TEST(CaptureLoop, PassingPressLeavesThatFrameInTheBuffer)
{
    Device d;
    open_host(d);
    const int w = d.priv()->imageW;
    const int h = d.priv()->imageH;
    const std::vector<unsigned char> first = dark_rect_frame(w, h, 0, 10, 0, 10);
    const std::vector<unsigned char> second = dark_rect_frame(w, h, 50, 90, 60, 100);
    script_capture_frame(first);
    script_capture_frame(second);
    script_quality({30, 77});

    ASSERT_EQ(iops_finger_status_check(d.dev(), 1), 0);
    EXPECT_EQ(std::vector<unsigned char>(d.priv()->rawImage, d.priv()->rawImage + size_t(w) * h), second);
}

TEST(CaptureLoop, EntryWithoutRunningFlagCapturesNothing)
{
    struct Case {
        int32_t flag;
        const char *journal;
        int32_t flag_after;
    };
    const Case cases[] = {
        {CTRL_IDLE, "Rc4 Nc4 S0", CTRL_IDLE},
        {CTRL_STOPPED, "Rc4 Nc4 S0", CTRL_STOPPED},
        {CTRL_FINISHED, "Rc4 Nc4 S0", CTRL_FINISHED},
        {CTRL_STOP_REQUESTED, "Rc3 Nc3 S0", CTRL_STOPPED},
    };
    for (const Case &c : cases) {
        for (int action : {1, -1}) {
            SCOPED_TRACE("flag " + std::to_string(c.flag) + " action " + std::to_string(action));
            Device d;
            open_host(d);
            d.priv()->ctrlFlag = c.flag;

            EXPECT_EQ(iops_finger_status_check(d.dev(), action), -1);
            EXPECT_EQ(d.journal(), c.journal);
            EXPECT_EQ(d.priv()->ctrlFlag.load(), c.flag_after);
            EXPECT_EQ(captures(), 0u);
        }
    }
}

TEST(CaptureLoop, NoTimeLeftOnEntryIsATimeOutWithoutCapture)
{
    for (int timeout : {0, -1, -30000}) {
        SCOPED_TRACE(timeout);
        Device d;
        open_host(d);
        d.priv()->timeoutMS = timeout;

        EXPECT_EQ(iops_finger_status_check(d.dev(), 1), -1);
        EXPECT_EQ(d.journal(), "Rc4 Nc4 S0");
        EXPECT_EQ(captures(), 0u);
        EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_RUNNING);
    }
}

TEST(CaptureLoop, EmptySensorTimesOutAfterTheOperationTimeOut)
{
    Device d;  // no finger: every frame grades low
    open_host(d);
    const int64_t start = FakeTime::now_us();

    EXPECT_EQ(iops_finger_status_check(d.dev(), 1), -1);
    EXPECT_EQ(d.journal(), "Rc4 Nc4 S0");
    const int64_t waited_ms = (FakeTime::now_us() - start) / 1000;
    EXPECT_GE(waited_ms, d.priv()->timeoutMS);
    EXPECT_LT(waited_ms, d.priv()->timeoutMS + 200);
    EXPECT_GT(captures(), 1u);
}

TEST(CaptureLoop, FailedCapturesAreRetriedWithAPauseAndNeverAnError)
{
    for (int action : {1, -1}) {
        SCOPED_TRACE(action);
        Device d;
        open_host(d);
        NoticeRecorder notices(d);
        kelvs_answer fail{};
        fail.rc = 3;
        kelvs_script_always(KELVS_CaptureRawData, &fail);
        const int64_t start = FakeTime::now_us();

        EXPECT_EQ(iops_finger_status_check(d.dev(), action), -1);

        const std::vector<bio_event> events = d.events();
        const size_t failed = captures();
        ASSERT_GE(failed, 2u);
        // Every attempt sets the prompt again, the wait ends as a time-out, never as an error.
        std::string expected;
        for (size_t i = 0; i < failed; ++i)
            expected += "N9 ";
        expected += "Rc4 Nc4 S0";
        EXPECT_EQ(describe(events), expected);
        EXPECT_EQ(gradings(), 0u);
        for (const std::string &text : notices.texts())
            EXPECT_EQ(text, kPoorText);
        // The prompt is logged as the announced text is.
        EXPECT_EQ(d.take_errors(), std::vector<std::string>(failed, std::string(kPoorText) + "\n"));
        // At least 50 ms between attempts: no more than one attempt per 50 ms of the time-out.
        EXPECT_LE(failed, size_t(d.priv()->timeoutMS / 50 + 1));
        const std::vector<Notice> seen = notices.notices();
        for (size_t i = 1; i + 1 < seen.size() && seen[i].mid == 9; ++i)
            EXPECT_GE(seen[i].at_us - seen[i - 1].at_us, 50'000) << "attempt " << i;
        EXPECT_GE((FakeTime::now_us() - start) / 1000, d.priv()->timeoutMS);
    }
}

TEST(CaptureLoop, FailedCaptureInALiftWaitIsNotALift)
{
    Device d;
    open_host(d);
    NoticeRecorder notices(d);
    kelvs_script_rc(KELVS_CaptureRawData, 4);
    script_quality({60, 20});

    EXPECT_EQ(iops_finger_status_check(d.dev(), -1), 0);
    EXPECT_EQ(captures(), 3u);
    EXPECT_EQ(gradings(), 2u);
    EXPECT_EQ(d.journal(), "N9");
    EXPECT_EQ(notices.texts(), std::vector<std::string>{kPoorText});
    EXPECT_EQ(d.take_errors(), std::vector<std::string>{std::string(kPoorText) + "\n"});
}

TEST(CaptureLoop, GradingErrorEndsTheWaitAtOnce)
{
    Device d;
    open_host(d);
    kelvs_script_rc(KELVS_ImgQuality, 17);
    const int64_t start = FakeTime::now_us();

    EXPECT_EQ(iops_finger_status_check(d.dev(), 1), -1);
    EXPECT_EQ(d.journal(), "S0 Rc2 N9");
    EXPECT_STREQ(d.priv()->extra_info, "Analyze fingerprint image quality error, error code: 17");
    EXPECT_EQ(d.take_errors(), std::vector<std::string>{"Analyze fingerprint image quality error, error code: 17\n"});
    EXPECT_EQ(captures(), 1u);
    EXPECT_EQ(gradings(), 1u);
    EXPECT_LT((FakeTime::now_us() - start) / 1000, d.priv()->timeoutMS);
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_RUNNING);
}

// The sensor's clock runs while a capture is taken, so a hook on it raises a stop request in the middle
// of a capture, as a stop thread would.
struct StopDuringCapture {
    kelvra_driver_t *priv;
    int at_capture;  // 1-based capture during which the request comes
    int sleeps = 0;
    int captures_at_stop = -1;
};

void install_stop_clock(StopDuringCapture *hook)
{
    kelvs_clock clock{[](void *) { return FakeTime::now_us(); },
                      [](void *user, int64_t us) {
                          FakeTime::advance_ms(us / 1000);
                          auto *h = static_cast<StopDuringCapture *>(user);
                          if (++h->sleeps == h->at_capture) {
                              h->captures_at_stop = int(kelvs_log_count(KELVS_CaptureRawData));
                              h->priv->ctrlFlag = CTRL_STOP_REQUESTED;
                          }
                      },
                      hook};
    kelvs_set_clock(&clock);
}

TEST(CaptureLoop, StopDuringACaptureIsAcknowledgedBeforeTheNextOne)
{
    Device d;  // no finger: every frame grades low
    open_host(d);
    StopDuringCapture hook{d.priv(), 3};
    install_stop_clock(&hook);

    EXPECT_EQ(iops_finger_status_check(d.dev(), 1), -1);
    FakeTime::install();
    EXPECT_EQ(d.journal(), "Rc3 Nc3 S0");
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_STOPPED);
    // Two captures had finished when the request came; the third finished and was graded, none followed.
    EXPECT_EQ(hook.captures_at_stop, 2);
    EXPECT_EQ(captures(), 3u);
    EXPECT_EQ(gradings(), 3u);
}

TEST(CaptureLoop, FrameThatPassesAsAStopArrivesWinsAndTheRequestStaysPending)
{
    Device d;
    open_host(d);
    StopDuringCapture hook{d.priv(), 1};
    install_stop_clock(&hook);
    script_quality({90});

    EXPECT_EQ(iops_finger_status_check(d.dev(), 1), 0);
    FakeTime::install();
    EXPECT_EQ(hook.sleeps, 1);
    EXPECT_EQ(d.journal(), "");
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_STOP_REQUESTED);
}

}  // namespace
