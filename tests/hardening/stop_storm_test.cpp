// stop_storm_test.cpp - thousands of stop requests from a second thread at random moments of every
// operation in both work modes, on real threads and the real clock.
//
// The driver's fixed pauses (1000 ms before an enrollment, the 50 ms polls, ...) are shortened twentyfold
// so that the storm reaches every phase of every operation within a short run; the monotonic clock, the
// threads and the handshake are the installed ones. KELVRA_STOP_STORM_OPERATIONS sets how many
// operations are stormed (default 400, each taking a burst of requests).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bio_host_testing.h"
#include "harness.h"
#include "hardening_support.h"
#include "kelvra_internal.h"
#include "kelvra_platform.h"

using namespace kelvra_test;
using namespace hardening;
using Clock = std::chrono::steady_clock;

namespace {

using std::chrono::microseconds;

constexpr int kPauseDivisor = 20;
constexpr int kStopPollMs = 50;        // the stop request's own poll, before shortening
constexpr int kTimeoutMs = 1500;       // the host's operation time-out during the storm
constexpr int kCaptureMs = 3;          // the virtual sensor's capture cycle in the storm's profile
// A stop returns within its own bound (waiting_ms taken up to whole polls). The docs promise that an
// acknowledgement comes within one capture cycle plus one poll, so that is all a request may overshoot
// its bound by, plus a stated margin for what a loaded machine or ThreadSanitizer adds to a sleep.
constexpr microseconds kPromisedOvershoot{kCaptureMs * 1000 + kStopPollMs * 1000 / kPauseDivisor};
constexpr microseconds kSchedulingMargin{25'000};

void shortened_sleep_ms(int ms)
{
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(int64_t(ms) * 1000 / kPauseDivisor));
}

std::string fast_profile(bool chip)
{
    std::string profile = chip ? kChipModeProfile : kHostModeProfile;
    replace_key(profile, "CaptureMs", "3");
    profile += "LandMs=4\nPressMs=30\nLeaveMs=4\nAwayMs=20\nStartMs=5\n";
    if (chip)
        profile.insert(profile.find("[Finger]"), "EnrollGiveUpMs=1000\n");
    return profile;
}

enum class Op { Enroll, Verify, Identify, Search, Clean, FeatureList };
constexpr Op kOps[] = {Op::Enroll, Op::Verify, Op::Identify, Op::Search, Op::Clean, Op::FeatureList};

const char *op_name(Op op)
{
    switch (op) {
    case Op::Enroll: return "enroll";
    case Op::Verify: return "verify";
    case Op::Identify: return "identify";
    case Op::Search: return "search";
    case Op::Clean: return "clean";
    case Op::FeatureList: return "feature list";
    }
    return "?";
}

// How long an operation runs when nobody stops it, roughly (shortened pauses): the window in which the
// first request is dropped at a uniformly random moment.
int typical_ms(Op op, bool chip)
{
    switch (op) {
    case Op::Enroll: return chip ? 600 : 450;
    case Op::Verify:
    case Op::Identify:
    case Op::Search: return 80;
    case Op::Clean:
    case Op::FeatureList: return 20;
    }
    return 100;
}

struct Tally {
    long requests = 0;             // stop calls made
    long during_operation = 0;     // ... while the operation's call had not yet returned
    long answered_zero = 0;
    long answered_minus_one = 0;
    long operations = 0;
    long stopped_operations = 0;   // ended with the stop-by-user result
    long acknowledged = 0;         // answered 0 and the flag says a loop stopped
    std::chrono::microseconds worst_overshoot{0};
};

int operations_from_environment()
{
    const char *text = std::getenv("KELVRA_STOP_STORM_OPERATIONS");
    const int n = text != nullptr ? std::atoi(text) : 0;
    return n > 0 ? n : 400;
}

// The device's status at a position of the journal (the status before the first event of the
// operation is idle: every open of the storm ends idle).
int status_at(size_t from, size_t position)
{
    int status = DEVS_COMM_IDLE;
    bio_event event{};
    for (size_t i = from; i < position && bio_journal_read(i, &event, 1) == 1; ++i)
        if (event.kind == BIO_EVENT_STATUS)
            status = event.value;
    return status;
}

bool went_idle_between(size_t begin, size_t end)
{
    bio_event event{};
    for (size_t i = begin; i < end && bio_journal_read(i, &event, 1) == 1; ++i)
        if (event.kind == BIO_EVENT_STATUS && event.value == DEVS_COMM_IDLE)
            return true;
    return false;
}

// An operation a loop stopped reports the stop: result and notify 3, and the stop is the last result set
// but for a match-on-chip enrollment, which sets its own failure (201) after its step loop reported it.
bool reported_the_stop(const std::vector<bio_event> &events, bool chip, Op op)
{
    bool result = false;
    bool notify = false;
    int last = -1;
    for (const bio_event &e : events) {
        result = result || (e.kind == BIO_EVENT_RESULT && e.common && e.value == OPS_COMM_STOP_BY_USER);
        notify = notify || (e.kind == BIO_EVENT_NOTIFY && e.common && e.value == NOTIFY_COMM_STOP_BY_USER);
        if (e.kind == BIO_EVENT_RESULT)
            last = e.value;
    }
    const bool enroll_failure_after_it = chip && op == Op::Enroll && last == OPS_ENROLL_FAIL;
    return result && notify && (last == OPS_COMM_STOP_BY_USER || enroll_failure_after_it);
}

int last_result(const std::vector<bio_event> &events)
{
    int result = -1;
    for (const bio_event &e : events)
        if (e.kind == BIO_EVENT_RESULT)
            result = e.value;
    return result;
}

// Every record is whole: one sample numbered 1; host-side data decodes to a full template, an on-chip
// bookkeeping record has none and its finger is on the sensor.
void expect_whole_records(const std::string &driver, bool chip, int uid)
{
    for (const StoredRecord &r : stored_records(driver)) {
        if (uid >= 0 && r.uid != uid)
            continue;
        ASSERT_EQ(r.samples.size(), 1u) << "uid " << r.uid << " index " << r.index;
        EXPECT_EQ(r.samples[0].no, 1);
        if (chip) {
            EXPECT_EQ(r.samples[0].data, "");
            EXPECT_TRUE(kelvs_store_has(r.uid, r.index)) << "uid " << r.uid << " listed but not on the sensor";
        } else {
            EXPECT_EQ(bio_base64_decoded_length(r.samples[0].data.c_str()), long{KELVRA_TEMPLATE_SIZE});
        }
    }
}

class StopStorm : public testing::TestWithParam<bool> {};

TEST_P(StopStorm, EveryRequestReturnsInItsBoundAndEveryOperationEndsWhole)
{
    const bool chip = GetParam();
    Device::Options options;
    options.profile = fast_profile(chip);
    options.fake_time = false;
    options.timeout_ms = kTimeoutMs;
    Device d(options);
    kelvra::Platform platform = kelvra::platform();
    platform.sleep_ms = shortened_sleep_ms;
    kelvra::set_platform_for_testing(platform);
    bio_dev *dev = d.dev();
    QuietScoreLines quiet;  // the on-chip presence wait prints a line per frame

    // User 1 has alice at index 0 for the matching operations to find (and walk over).
    ASSERT_EQ(d.open(), 0);
    kelvs_finger_auto("alice");
    char alice[] = "alice";
    ASSERT_EQ(kelvra_ops_enroll(dev, ACTION_START, 1, 0, alice), 0) << d.journal();
    d.close();

    std::mt19937 random(chip ? 1103 : 2207);
    const int total = operations_from_environment() / 2;
    Tally tally;
    int next_uid = 100;

    for (int n = 0; n < total; ++n) {
        const Op op = kOps[random() % std::size(kOps)];
        const bool finger = random() % 3 != 0;  // a third of the waits see no finger at all
        const int uid = op == Op::Enroll ? next_uid++ : (op == Op::Clean ? 100 + int(random() % 50) : 1);
        SCOPED_TRACE(std::string(op_name(op)) + " #" + std::to_string(n));

        ASSERT_EQ(d.open(), 0);
        kelvs_log_clear();  // the call log is bounded; one operation's calls fit it
        d.mark();
        const size_t operation_start = bio_journal_size();
        bool acknowledged = false;
        // The sensor's call count when a stop made during the operation was first answered 0.
        constexpr size_t kNoAnswer = ~size_t{0};
        size_t calls_at_answer = kNoAnswer;
        kelvs_finger_auto(finger ? (op == Op::Enroll ? ("finger-" + std::to_string(uid)).c_str() : "alice")
                                 : nullptr);

        std::atomic<bool> running{true};
        std::promise<void> started;
        auto operation = std::async(std::launch::async, [&, op, uid] {
            started.set_value();
            feature_info *list = nullptr;
            char name[] = "stormed";
            switch (op) {
            case Op::Enroll: kelvra_ops_enroll(dev, ACTION_START, uid, 1, name); break;
            case Op::Verify: kelvra_ops_verify(dev, ACTION_START, uid, 0); break;
            case Op::Identify: kelvra_ops_identify(dev, ACTION_START, uid, 0, -1); break;
            case Op::Search: list = kelvra_ops_search(dev, ACTION_START, uid, 0, -1); break;
            case Op::Clean: kelvra_ops_clean(dev, ACTION_START, uid, 0, -1); break;
            case Op::FeatureList: list = kelvra_ops_get_feature_list(dev, ACTION_START, uid, 0, -1); break;
            }
            bio_sto_free_feature_info_list(list);
            running = false;
        });
        started.get_future().wait();
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % (typical_ms(op, chip) + 1)));

        // A burst of requests until the operation has ended, then one more on the idle device: three in
        // four do not wait at all (the request is left for the loop), the others wait 1 to 100 ms.
        for (bool last = false; !last;) {
            last = !running.load();
            const int waiting_ms = random() % 4 != 0 ? 0 : 1 + int(random() % 100);
            const bool during = running.load();
            const bool driver_running = d.priv()->operationsRunning.load() > 0;
            const size_t journal_before = bio_journal_size();
            const auto begin = Clock::now();
            const int answer = kelvra_ops_stop_by_user(dev, waiting_ms);
            const auto took = Clock::now() - begin;
            const int32_t flag = d.priv()->ctrlFlag.load();
            if (answer == 0 && driver_running && calls_at_answer == kNoAnswer)
                calls_at_answer = kelvs_log_size();
            const int polls = (std::min(waiting_ms, kTimeoutMs) + kStopPollMs - 1) / kStopPollMs;
            const auto bound = microseconds(int64_t(polls) * kStopPollMs * 1000 / kPauseDivisor);
            ++tally.requests;
            tally.during_operation += during ? 1 : 0;
            (answer == 0 ? tally.answered_zero : tally.answered_minus_one)++;
            EXPECT_TRUE(answer == 0 || answer == -1) << answer;
            const auto over = std::chrono::duration_cast<microseconds>(took - bound);
            tally.worst_overshoot = std::max(tally.worst_overshoot, over);
            EXPECT_LE(over, kPromisedOvershoot + kSchedulingMargin)
                << "waiting_ms " << waiting_ms << ", bound " << bound.count() << " us";
            // An answer 0 means a loop acknowledged (3), a walk ended (4), or the device was idle.
            if (answer == 0 && flag == CTRL_STOPPED) {
                acknowledged = true;
                ++tally.acknowledged;
            } else if (answer == 0 && flag != CTRL_FINISHED) {
                EXPECT_TRUE(status_at(operation_start, journal_before) == DEVS_COMM_IDLE ||
                            went_idle_between(journal_before, bio_journal_size()))
                    << "answered 0 while the operation ran, with flag " << flag << " and nothing idle";
            }
            if (!last)
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
        }

        const auto ended = operation.wait_for(std::chrono::milliseconds(kTimeoutMs * 4));
        ASSERT_EQ(ended, std::future_status::ready) << "the operation did not end";
        operation.get();
        ++tally.operations;
        const int result = last_result(d.events());
        tally.stopped_operations += result == OPS_COMM_STOP_BY_USER ? 1 : 0;
        EXPECT_EQ(bio_get_dev_status(dev), DEVS_COMM_IDLE) << d.journal();
        EXPECT_NE(result, -1) << "no result was set: " << d.journal();
        if (acknowledged) {
            EXPECT_TRUE(reported_the_stop(d.events(), chip, op)) << "a stop answered 0, yet: " << d.journal();
        }
        // A stop answered 0 while the operation ran means it had ended, or ended without another sensor call.
        if (calls_at_answer != kNoAnswer) {
            EXPECT_EQ(kelvs_log_size(), calls_at_answer) << "the sensor was called after the stop was answered 0";
        }
        // A finger landing or leaving while the sensor takes an enrollment step is shown as a poor image and
        // logged as an error; the storm's timeline makes that happen now and then. Nothing else may be logged.
        for (const std::string &line : d.take_errors())
            EXPECT_EQ(line, "The fingerprint image quality is poor[0], please press your finger again\n\n");
        kelvs_finger_auto(nullptr);
        d.close();
        EXPECT_EQ(bio_testing_open_connections(), 0);
        if (op == Op::Enroll || op == Op::Clean)
            expect_whole_records(dev->device_name, chip, uid);
        if (HasFatalFailure() || testing::Test::HasFailure())
            break;
    }
    expect_whole_records(dev->device_name, chip, -1);
    if (chip) {
        EXPECT_EQ(kelvs_store_count(), static_cast<int>(stored_records(dev->device_name).size()));
    }
    quiet.finish();

    std::printf("[ storm    ] %s: %ld operations (%ld ended by a stop), %ld stop requests (%ld while the "
                "operation ran; %ld answered 0, %ld of them acknowledged by a loop, %ld answered -1), worst "
                "overshoot of a bound %.1f ms (allowed %.1f)\n",
                chip ? "match-on-chip" : "match-on-host", tally.operations, tally.stopped_operations,
                tally.requests, tally.during_operation, tally.answered_zero, tally.acknowledged,
                tally.answered_minus_one, double(tally.worst_overshoot.count()) / 1000.0,
                double((kPromisedOvershoot + kSchedulingMargin).count()) / 1000.0);
    EXPECT_GT(tally.acknowledged, 0);
    EXPECT_GT(tally.stopped_operations, 0);
}

INSTANTIATE_TEST_SUITE_P(BothModes, StopStorm, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "MatchOnChip" : "MatchOnHost");
                         });

}  // namespace
