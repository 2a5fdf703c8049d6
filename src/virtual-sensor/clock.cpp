// clock.cpp - the sensor's sense of time: the monotonic clock, or one that a test drives.
#include "vs_internal.h"

#include <ctime>
#include <mutex>

namespace kelvs {
namespace {

int64_t monotonic_now(void *)
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void monotonic_sleep(void *, int64_t us)
{
    if (us <= 0)
        return;
    timespec ts{time_t(us / 1000000), long(us % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

// Kept apart from the state lock: sleeping and reading the time must never wait for it.
std::mutex clock_mu;
kelvs_clock installed{monotonic_now, monotonic_sleep, nullptr};

kelvs_clock current()
{
    std::lock_guard lock(clock_mu);
    return installed;
}

}  // namespace

int64_t now_us()
{
    auto c = current();
    return c.now_us(c.user);
}

void sleep_us(int64_t us)
{
    auto c = current();
    c.sleep_us(c.user, us);
}

}  // namespace kelvs

KELVS_EXPORT void kelvs_set_clock(const kelvs_clock *clock)
{
    std::lock_guard lock(kelvs::clock_mu);
    if (clock && clock->now_us && clock->sleep_us)
        kelvs::installed = *clock;
    else
        kelvs::installed = kelvs_clock{kelvs::monotonic_now, kelvs::monotonic_sleep, nullptr};
}
