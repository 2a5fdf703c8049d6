// kelvra_platform.cpp - the real clock, pauses, fixed paths and shell of the installed driver.
#include "kelvra_platform.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace kelvra {
namespace {

void monotonic_now(int64_t *seconds, int64_t *microseconds)
{
    // A wall-clock step (NTP, a user changing the date) must neither end a wait early nor stretch it.
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    *seconds = ts.tv_sec;
    *microseconds = ts.tv_nsec / 1000;
}

void real_sleep_ms(int milliseconds)
{
    if (milliseconds <= 0)
        return;
    timespec left{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int run_through_shell(const char *command) { return std::system(command); }

constexpr Platform kInstalled{monotonic_now, real_sleep_ms, run_through_shell, kInstallDir, kUpdateScript};

Platform g_platform = kInstalled;
std::mutex g_platform_lock;

}  // namespace

const Platform &platform() { return g_platform; }
const Platform &default_platform() { return kInstalled; }

Platform set_platform_for_testing(const Platform &replacement)
{
    std::lock_guard<std::mutex> lock(g_platform_lock);
    Platform previous = g_platform;
    g_platform = replacement;
    return previous;
}

Stopwatch start_clock()
{
    Stopwatch start;
    platform().now(&start.seconds, &start.microseconds);
    return start;
}

int elapsed_ms(const Stopwatch &start)
{
    Stopwatch now;
    platform().now(&now.seconds, &now.microseconds);
    return static_cast<int>((now.seconds - start.seconds) * 1000 + (now.microseconds - start.microseconds) / 1000);
}

void sleep_ms(int milliseconds) { platform().sleep_ms(milliseconds); }

}  // namespace kelvra
