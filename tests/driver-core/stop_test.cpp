// stop_test.cpp - the stop handshake: a request from another thread, its bound and its answer.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "harness.h"
#include "kelvra_internal.h"

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

// An operation in progress, as far as the stop request can tell: a busy status and an armed flag.
void pretend_busy(Device &d)
{
    ASSERT_EQ(d.open(), 0);
    bio_set_dev_status(d.dev(), DEVS_VERIFY_DOING);
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
        pretend_busy(d);
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
        pretend_busy(d);
        const int64_t before = FakeTime::now_us();
        EXPECT_EQ(kelvra_ops_stop_by_user(d.dev(), 10000), -1);
        EXPECT_EQ(FakeTime::now_us() - before, 200'000) << "bounded by the host time-out";
    }
    {
        Device d(fake_time(5000));
        pretend_busy(d);
        const int64_t before = FakeTime::now_us();
        EXPECT_EQ(kelvra_ops_stop_by_user(d.dev(), 120), -1);
        EXPECT_EQ(FakeTime::now_us() - before, 150'000) << "120 ms is waited as three polls";
        EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_STOP_REQUESTED);
    }
}

TEST(Stop, FailedOpenLeavesABusyStatusThatWaitsTheWholeBound)
{
    Device d(fake_time(5000));
    kelvs_script_rc(KELVS_GlobalInit, 1);
    ASSERT_EQ(d.open(), -1);
    ASSERT_EQ(bio_get_dev_status(d.dev()), DEVS_OPEN_DOING);
    const int64_t before = FakeTime::now_us();
    EXPECT_EQ(kelvra_ops_stop_by_user(d.dev(), 300), -1);
    EXPECT_EQ(FakeTime::now_us() - before, 300'000);
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_STOP_REQUESTED);
}

// With real threads and the real clock: the operation's thread answers, the stop returns within a
// poll of the answer and well inside its bound.
class StopAnsweredByAnotherThread : public ::testing::TestWithParam<int32_t> {};

TEST_P(StopAnsweredByAnotherThread, ReturnsZeroWithinAPollOfTheAnswer)
{
    Device d(real_time());
    pretend_busy(d);
    const int32_t answer = GetParam();
    kelvra_driver_t *priv = d.priv();

    std::thread operation([priv, answer] {
        while (priv->ctrlFlag.load() != CTRL_STOP_REQUESTED)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        priv->ctrlFlag.store(answer);
    });
    const auto start = std::chrono::steady_clock::now();
    const int ret = kelvra_ops_stop_by_user(d.dev(), 3000);
    const auto waited = std::chrono::steady_clock::now() - start;
    operation.join();

    EXPECT_EQ(ret, 0);
    EXPECT_EQ(priv->ctrlFlag.load(), answer);
    EXPECT_GE(waited, std::chrono::milliseconds(120));
    EXPECT_LT(waited, std::chrono::milliseconds(2000)) << "the stop waited for its bound, not for the answer";
}

INSTANTIATE_TEST_SUITE_P(Answers, StopAnsweredByAnotherThread,
                         ::testing::Values(CTRL_STOPPED, CTRL_FINISHED, CTRL_IDLE),
                         [](const auto &info) {
                             return info.param == CTRL_STOPPED    ? std::string("Stopped")
                                    : info.param == CTRL_FINISHED ? std::string("Finished")
                                                                  : std::string("Idle");
                         });

TEST(Stop, NeverAnsweredReturnsMinusOneAndLeavesTheRequest)
{
    Device d(real_time(150));
    pretend_busy(d);
    EXPECT_EQ(kelvra_ops_stop_by_user(d.dev(), 1000), -1);
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_STOP_REQUESTED);
}
