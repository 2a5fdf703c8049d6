// stop_latency_bench.cpp - how long a stop request takes to be acknowledged while a match-on-host verify
// waits for a finger on the virtual sensor with a 30 ms capture cycle (real clock, installed pauses).
//
// Usage: stop_latency_bench [samples]   (default 200). Prints the median, 90th and 99th percentiles and
// the worst case of the time until kelvra_ops_stop_by_user returns 0, next to what the handshake promises
// (one capture cycle plus one 50 ms poll), and the time until the loop itself acknowledged.
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

std::atomic<bool> g_waiting{false};

// The press prompt is set right before the finger wait begins.
void on_event(bio_dev *, const bio_event *event, void *)
{
    if (event->kind == BIO_EVENT_NOTIFY && event->value == MID_NEED_PRESS)
        g_waiting = true;
}

double percentile(std::vector<double> sorted, double p)
{
    const size_t at = std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5));
    return sorted[at];
}

}  // namespace

int main(int argc, char **argv)
{
    const int samples = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;

    Device::Options options;
    options.profile = kHostModeProfile;  // CaptureMs=30, no finger on the sensor
    options.fake_time = false;
    options.timeout_ms = 10000;
    Device d(options);
    bio_set_event_listener(on_event, nullptr);

    std::mt19937 random(4242);
    std::vector<double> latency_ms;
    std::vector<double> acknowledgement_ms;
    int refused = 0;
    for (int n = 0; n < samples; ++n) {
        if (d.open() != 0) {
            std::fprintf(stderr, "open failed\n");
            return 1;
        }
        g_waiting = false;
        std::thread operation([&] { kelvra_ops_verify(d.dev(), ACTION_START, 1, 0); });
        while (!g_waiting)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        // Anywhere within two capture cycles of the wait, so every phase of a cycle is hit.
        std::this_thread::sleep_for(std::chrono::microseconds(random() % (2 * kCaptureMs * 1000)));
        // The loop's own acknowledgement (the flag turning to "stopped"), watched from a third thread.
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
    bio_set_event_listener(nullptr, nullptr);
    if (latency_ms.empty()) {
        std::fprintf(stderr, "no stop was acknowledged\n");
        return 1;
    }
    std::sort(latency_ms.begin(), latency_ms.end());
    std::sort(acknowledgement_ms.begin(), acknowledgement_ms.end());
    std::printf("stop acknowledgement during a match-on-host finger wait, capture cycle %d ms, poll %d ms\n",
                kCaptureMs, kPollMs);
    std::printf("samples %zu (not acknowledged within 1000 ms: %d)\n", latency_ms.size(), refused);
    std::printf("median %.1f ms  p90 %.1f ms  p99 %.1f ms  max %.1f ms  (promise: within %d ms)\n",
                percentile(latency_ms, 0.5), percentile(latency_ms, 0.9), percentile(latency_ms, 0.99),
                latency_ms.back(), kCaptureMs + kPollMs);
    std::printf("the loop itself stored 'stopped' after: median %.1f ms  p99 %.1f ms  max %.1f ms\n",
                percentile(acknowledgement_ms, 0.5), percentile(acknowledgement_ms, 0.99), acknowledgement_ms.back());
    return 0;
}
