// interrupt.cpp - self-pipe signal handling and the thread that delivers stop requests to the driver.
#include "interrupt.h"

#include "session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace kelvractl {

namespace {

int g_wake_fd = -1;
volatile sig_atomic_t g_signals = 0;

constexpr char kInterrupt = 'i';
constexpr char kQuit = 'q';
constexpr int kRepeatMs = 100;

extern "C" void on_signal(int)
{
    const int saved = errno;
    g_signals = g_signals + 1;
    if (g_signals >= 2) {
        static const char line[] = "\nkelvractl: interrupted again, exiting at once\n";
        [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, line, sizeof line - 1);
        _exit(130);
    }
    const char byte = kInterrupt;
    [[maybe_unused]] const ssize_t n = write(g_wake_fd, &byte, 1);
    errno = saved;
}

}  // namespace

InterruptWatcher::InterruptWatcher()
{
    if (pipe2(pipe_, O_CLOEXEC) != 0) {
        std::perror("kelvractl: pipe");
        return;
    }
    g_wake_fd = pipe_[1];
    struct sigaction action{};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    thread_ = std::thread([this] { watch(); });
}

InterruptWatcher::~InterruptWatcher()
{
    if (thread_.joinable()) {
        const char byte = kQuit;
        [[maybe_unused]] const ssize_t n = write(pipe_[1], &byte, 1);
        thread_.join();
    }
    struct sigaction action{};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    g_wake_fd = -1;
    for (int fd : pipe_)
        if (fd >= 0)
            close(fd);
}

void InterruptWatcher::watch()
{
    for (;;) {
        Device *device = device_.load();
        // While a stop is pending and an operation still runs, the request is repeated: a driver that
        // was between its loops (its status still idle) answers at once without stopping anything.
        const bool pending = interrupted_.load() && device != nullptr && device->operation_running();
        pollfd p{pipe_[0], POLLIN, 0};
        const int ready = poll(&p, 1, pending ? kRepeatMs : -1);
        if (ready < 0 && errno != EINTR)
            return;
        if (ready > 0) {
            char byte = 0;
            if (read(pipe_[0], &byte, 1) == 1) {
                if (byte == kQuit)
                    return;
                if (byte == kInterrupt && !interrupted_.exchange(true)) {
                    static const char line[] = "\nkelvractl: stopping (press Ctrl-C again to exit at once)\n";
                    [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, line, sizeof line - 1);
                }
            }
        }
        device = device_.load();
        if (interrupted_.load() && device != nullptr) {
            device->mark_stop_requested();
            if (device->operation_running())
                device->request_stop(kStopWaitMs);
        }
    }
}

}  // namespace kelvractl
