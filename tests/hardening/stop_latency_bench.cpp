// stop_latency_bench.cpp - how long a stop request takes to be acknowledged while the driver waits for a
// finger on the virtual sensor with a 30 ms capture cycle (real clock, installed pauses): a match-on-host
// verify's graded capture loop, and a match-on-chip enrollment's presence wait (capture, area estimate and
// a 50 ms pause per frame).
//
// Usage: stop_latency_bench [samples]   (default 200 of each). Prints, per wait, the median, 90th and 99th
// percentiles and the worst case of the time until kelvra_ops_stop_by_user returns 0, next to what the
// handshake promises (one cycle of the wait plus one 50 ms poll), and the time until the operation itself
// acknowledged.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "harness.h"
#include "kelvra_internal.h"

using namespace kelvra_test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kCaptureMs = 30;
constexpr int kPollMs = 50;
constexpr int kPresencePauseMs = 50;  // the presence wait's pause after every frame

std::atomic<bool> g_waiting{false};
std::atomic<int> g_awaited_mid{MID_NEED_PRESS};

// The prompt that is set right before the finger wait begins: the press prompt of a verify, the progress
// text (notify 9) of an enrollment's first press.
void on_event(bio_dev *, const bio_event *event, void *)
{
    if (event->kind == BIO_EVENT_NOTIFY && event->value == g_awaited_mid.load())
        g_waiting = true;
}

double percentile(std::vector<double> sorted, double p)
{
    const size_t at = std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5));
    return sorted[at];
}

struct Wait {
    const char *name;
    bool chip;
    int cycle_ms;  // one pass of the wait
};

// Returns false when no stop was acknowledged at all.
bool measure(const Wait &wait, int samples)
{
    Device::Options options;
    options.profile = wait.chip ? kChipModeProfile : kHostModeProfile;  // CaptureMs=30, no finger
    options.fake_time = false;
    options.timeout_ms = 10000;
    Device d(options);
    g_awaited_mid = wait.chip ? MID_EXTENDED_MESSAGE : MID_NEED_PRESS;
    bio_set_event_listener(on_event, nullptr);
    QuietScoreLines quiet;  // the presence wait prints a line per frame

    std::mt19937 random(4242);
    std::vector<double> latency_ms;
    std::vector<double> acknowledgement_ms;
    int refused = 0;
    for (int n = 0; n < samples; ++n) {
        if (d.open() != 0) {
            std::fprintf(stderr, "open failed\n");
            return false;
        }
        g_waiting = false;
        std::thread operation([&] {
            char name[] = "bench";
            if (wait.chip)
                kelvra_ops_enroll(d.dev(), ACTION_START, 1, 0, name);
            else
                kelvra_ops_verify(d.dev(), ACTION_START, 1, 0);
        });
        while (!g_waiting)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        // Anywhere within two cycles of the wait, so every phase of a cycle is hit.
        std::this_thread::sleep_for(std::chrono::microseconds(random() % (2 * wait.cycle_ms * 1000)));
        // The operation's own acknowledgement (the flag turning to "stopped"), watched from a third thread.
        std::atomic<bool> watching{true};
        Clock::time_point acknowledged{};
        const auto begin = Clock::now();
        std::thread watcher([&] {
            while (watching && d.priv()->ctrlFlag.load() != CTRL_STOPPED)
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            acknowledged = Clock::now();
        });
        const int answer = kelvra_ops_stop_by_user(d.dev(), 1000);
        const auto took = Clock::now() - begin;
        operation.join();
        watching = false;
        watcher.join();
        acknowledgement_ms.push_back(std::chrono::duration<double, std::milli>(acknowledged - begin).count());
        d.close();
        if (answer != 0) {
            ++refused;
            continue;
        }
        latency_ms.push_back(std::chrono::duration<double, std::milli>(took).count());
    }
    quiet.finish();
    bio_set_event_listener(nullptr, nullptr);
    if (latency_ms.empty()) {
        std::fprintf(stderr, "%s: no stop was acknowledged\n", wait.name);
        return false;
    }
    std::sort(latency_ms.begin(), latency_ms.end());
    std::sort(acknowledgement_ms.begin(), acknowledgement_ms.end());
    std::printf("stop acknowledgement during %s, cycle %d ms, poll %d ms\n", wait.name, wait.cycle_ms, kPollMs);
    std::printf("samples %zu (not acknowledged within 1000 ms: %d)\n", latency_ms.size(), refused);
    std::printf("median %.1f ms  p90 %.1f ms  p99 %.1f ms  max %.1f ms  (promise: within %d ms)\n",
                percentile(latency_ms, 0.5), percentile(latency_ms, 0.9), percentile(latency_ms, 0.99),
                latency_ms.back(), wait.cycle_ms + kPollMs);
    std::printf("the operation itself stored 'stopped' after: median %.1f ms  p99 %.1f ms  max %.1f ms\n",
                percentile(acknowledgement_ms, 0.5), percentile(acknowledgement_ms, 0.99), acknowledgement_ms.back());
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    const int samples = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const Wait waits[] = {
        {"a match-on-host finger wait (verify)", false, kCaptureMs},
        {"a match-on-chip finger wait (enrollment's first press)", true, kCaptureMs + kPresencePauseMs},
    };
    bool all = true;
    for (const Wait &wait : waits)
        all = measure(wait, samples) && all;
    return all ? 0 : 1;
}
