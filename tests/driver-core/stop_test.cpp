// stop_test.cpp - the stop handshake: a request from another thread, its bound and its answer.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "harness.h"
#include "kelvra_internal.h"
#include "kelvra_platform.h"

using kelvra_test::Device;
using kelvra_test::FakeTime;

namespace {

Device::Options real_time(int timeout_ms = 5000)
{
    Device::Options options;
    options.fake_time = false;
    options.timeout_ms = timeout_ms;
    return options;
}

Device::Options fake_time(int timeout_ms)
{
    Device::Options options;
    options.timeout_ms = timeout_ms;
    return options;
}

// An operation in progress, as far as the stop request can tell: the driver counts one as running, the
// status is busy and the flag armed.
struct Busy {
    explicit Busy(Device &d) : device(d)
    {
        EXPECT_EQ(d.open(), 0);
        bio_set_dev_status(d.dev(), DEVS_VERIFY_DOING);
        running.emplace(d.dev());
    }
    Device &device;
    std::optional<kelvra::RunningOperation> running;
};

// Turns the first pause of the given length into the moment a stop request arrives (what the stop stores).
kelvra_driver_t *g_stopped_priv = nullptr;
int g_stop_at_ms = 0;
void (*g_sleep)(int) = nullptr;
void sleep_then_request_stop(int ms)
{
    if (ms == g_stop_at_ms && g_stopped_priv != nullptr) {
        g_stopped_priv->ctrlFlag = CTRL_STOP_REQUESTED;
        g_stopped_priv = nullptr;
    }
    g_sleep(ms);
}

}  // namespace

TEST(Stop, IdleDeviceAnswersAtOnceAndLeavesTheFlag)
{
    Device d(fake_time(5000));
    ASSERT_EQ(d.open(), 0);
    d.clear_logs();
    const int64_t before = FakeTime::now_us();
    EXPECT_EQ(kelvra_ops_stop_by_user(d.dev(), 1000), 0);
    EXPECT_EQ(FakeTime::now_us(), before);
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_RUNNING);
    ASSERT_EQ(d.logs().size(), 1u);
    EXPECT_EQ(d.logs()[0].level, BIO_LOG_INFO);
    EXPECT_EQ(d.logs()[0].text,
              "Device kelvra-test[" + std::to_string(d.dev()->driver_id) + "] received interrupt request\n");
}

TEST(Stop, NoWaitingTimeRequestsTheStopWithoutSleeping)
{
    for (int waiting_ms : {0, -1, -500}) {
        Device d(fake_time(5000));
        Busy busy(d);
        const int64_t before = FakeTime::now_us();
        EXPECT_EQ(kelvra_ops_stop_by_user(d.dev(), waiting_ms), -1) << waiting_ms;
        EXPECT_EQ(FakeTime::now_us(), before) << waiting_ms;
        EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_STOP_REQUESTED) << "the next test of the flag still stops";
    }
}

// The wait lasts the smaller of the caller's bound and the host time-out, rounded up to a 50 ms poll.
TEST(Stop, TheSmallerBoundWinsInWholePolls)
{
    {
        Device d(fake_time(200));
        Busy busy(d);
        const int64_t before = FakeTime::now_us();
        EXPECT_EQ(kelvra_ops_stop_by_user(d.dev(), 10000), -1);
        EXPECT_EQ(FakeTime::now_us() - before, 200'000) << "bounded by the host time-out";
    }
    {
        Device d(fake_time(5000));
        Busy busy(d);
        const int64_t before = FakeTime::now_us();
        EXPECT_EQ(kelvra_ops_stop_by_user(d.dev(), 120), -1);
        EXPECT_EQ(FakeTime::now_us() - before, 150'000) << "120 ms is waited as three polls";
        EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_STOP_REQUESTED);
    }
}

// Makes sure the stop request asks the driver, not the host's status, whether an operation runs. An example
// failure: a status left behind (or a disabled device) making every stop wait its whole bound for nothing.
TEST(Stop, NothingRunningIsAnsweredAtOnceWhateverTheStatus)
{
    struct Case {
        const char *what;
        int status;   // set after the open; -1: as the open left it
        bool opened;  // else the device is disabled and the open refused
    };
    const Case cases[] = {
        {"idle", -1, true},
        {"busy status left behind", DEVS_VERIFY_DOING, true},
        {"open status left behind", DEVS_OPEN_DOING, true},
        {"disabled device", -1, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Device::Options options = fake_time(5000);
        if (!c.opened)
            options.config = "[kelvra-test]\nEnable=false\n";
        Device d(options);
        EXPECT_EQ(d.open(), c.opened ? 0 : -1);
        if (c.status >= 0)
            bio_set_dev_status(d.dev(), c.status);
        const int32_t flag = d.priv()->ctrlFlag.load();
        const int64_t before = FakeTime::now_us();
        EXPECT_EQ(kelvra_ops_stop_by_user(d.dev(), 1000), 0);
        EXPECT_EQ(FakeTime::now_us(), before);
        EXPECT_EQ(d.priv()->ctrlFlag.load(), flag);
    }
}

// Makes sure a stop that arrives in enrollment's first second (before it has touched the sensor) ends it
// there. An example failure: the stop answered 0 and the enrollment running on to its time-out.
TEST(Stop, RequestFoundInTheEnrollmentsEntryPauseEndsItAsStopped)
{
    for (bool chip : {false, true}) {
        SCOPED_TRACE(chip ? "match-on-chip" : "match-on-host");
        Device::Options options = fake_time(5000);
        if (chip)
            options.profile = kelvra_test::kChipModeProfile;
        Device d(options);
        ASSERT_EQ(d.open(), 0);
        kelvra::Platform platform = kelvra::platform();
        g_sleep = platform.sleep_ms;
        g_stop_at_ms = 1000;
        g_stopped_priv = d.priv();
        platform.sleep_ms = sleep_then_request_stop;
        const kelvra::Platform previous = kelvra::set_platform_for_testing(platform);
        kelvs_log_clear();
        d.mark();
        char name[] = "x";
        EXPECT_EQ(kelvra_ops_enroll(d.dev(), ACTION_START, 1, 0, name), -1);
        kelvra::set_platform_for_testing(previous);
        EXPECT_EQ(d.journal(), "Rc3 Nc3 S0");
        EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_STOPPED);
        EXPECT_EQ(kelvra_test::sdk_calls(), "");
    }
}

// The same with a real stop from another thread: the request waits until the enrollment has ended.
TEST(Stop, StopDuringTheEnrollmentsEntryPauseWaitsForItsEnd)
{
    Device d(real_time());
    ASSERT_EQ(d.open(), 0);
    d.mark();
    std::thread operation([&d] {
        char name[] = "x";
        EXPECT_EQ(kelvra_ops_enroll(d.dev(), ACTION_START, 1, 0, name), -1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kelvra_ops_stop_by_user(d.dev(), 3000), 0);
    const auto waited = std::chrono::steady_clock::now() - start;
    operation.join();
    EXPECT_EQ(d.journal(), "Rc3 Nc3 S0");
    EXPECT_GE(waited, std::chrono::milliseconds(600)) << "answered before the enrollment had ended";
    EXPECT_LT(waited, std::chrono::milliseconds(2000));
}

// With real threads and the real clock: the operation's thread answers, the stop returns within a
// poll of the answer and well inside its bound.
class StopAnsweredByAnotherThread : public ::testing::TestWithParam<int32_t> {};

// The operation's return counts as an answer too (the flag then stays as the request left it).
constexpr int32_t kReturned = -1;

TEST_P(StopAnsweredByAnotherThread, ReturnsZeroWithinAPollOfTheAnswer)
{
    Device d(real_time());
    Busy busy(d);
    const int32_t answer = GetParam();
    kelvra_driver_t *priv = d.priv();

    std::thread operation([priv, answer, &busy] {
        while (priv->ctrlFlag.load() != CTRL_STOP_REQUESTED)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        if (answer == kReturned)
            busy.running.reset();
        else
            priv->ctrlFlag.store(answer);
    });
    const auto start = std::chrono::steady_clock::now();
    const int ret = kelvra_ops_stop_by_user(d.dev(), 3000);
    const auto waited = std::chrono::steady_clock::now() - start;
    operation.join();

    EXPECT_EQ(ret, 0);
    EXPECT_EQ(priv->ctrlFlag.load(), answer == kReturned ? CTRL_STOP_REQUESTED : answer);
    EXPECT_GE(waited, std::chrono::milliseconds(120));
    EXPECT_LT(waited, std::chrono::milliseconds(2000)) << "the stop waited for its bound, not for the answer";
}

INSTANTIATE_TEST_SUITE_P(Answers, StopAnsweredByAnotherThread,
                         ::testing::Values(CTRL_STOPPED, CTRL_FINISHED, CTRL_IDLE, kReturned),
                         [](const auto &info) {
                             return info.param == CTRL_STOPPED    ? std::string("Stopped")
                                    : info.param == CTRL_FINISHED ? std::string("Finished")
                                    : info.param == CTRL_IDLE     ? std::string("Idle")
                                                                  : std::string("Returned");
                         });

TEST(Stop, NeverAnsweredReturnsMinusOneAndLeavesTheRequest)
{
    Device d(real_time(150));
    Busy busy(d);
    EXPECT_EQ(kelvra_ops_stop_by_user(d.dev(), 1000), -1);
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_STOP_REQUESTED);
}
