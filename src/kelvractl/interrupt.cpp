// interrupt.cpp - self-pipe signal handling and the thread that delivers stop requests to the driver.
#include "interrupt.h"

#include "i18n.h"
#include "report.h"
#include "session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kelvractl {

namespace {

int g_wake_fd = -1;
volatile sig_atomic_t g_signals = 0;
// Translated before any signal can come: a handler may not look anything up.
char g_again_line[256];
std::size_t g_again_length = 0;

// Ctrl-C, a terminal that goes away and a polite kill all mean: stop the operation, as the user would.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// What the pipe carries: the signal that came (its line names it), or the watcher's end.
constexpr char kInterrupt = 'i';
constexpr char kTerminate = 't';
constexpr char kHangUp = 'h';
constexpr char kQuit = 'q';
constexpr int kRepeatMs = 100;

extern "C" void on_signal(int signal)
{
    const int saved = errno;
    g_signals = g_signals + 1;
    if (g_signals >= 2) {
        [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, g_again_line, g_again_length);
        _exit(kExitInterruptedTwice);
    }
    const char byte = signal == SIGTERM ? kTerminate : signal == SIGHUP ? kHangUp : kInterrupt;
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
    const std::string again = "\nkelvractl: " + std::string(tr("interrupted again, exiting at once")) + "\n";
    g_again_length = std::min(again.size(), sizeof g_again_line);
    std::memcpy(g_again_line, again.data(), g_again_length);
    stopping_line_ = "\nkelvractl: " + std::string(tr("stopping (press Ctrl-C again to exit at once)")) + "\n";
    stopping_on_term_ = "\nkelvractl: " + strf(tr("%s came: stopping (a second signal exits at once)"), "SIGTERM") + "\n";
    stopping_on_hup_ = "\nkelvractl: " + strf(tr("%s came: stopping (a second signal exits at once)"), "SIGHUP") + "\n";
    struct sigaction action{};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : kStopSignals)
        sigaction(signal, &action, nullptr);
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
    for (const int signal : kStopSignals)
        sigaction(signal, &action, nullptr);
    g_wake_fd = -1;
    for (int fd : pipe_)
        if (fd >= 0)
            close(fd);
}

void InterruptWatcher::interrupt()
{
    const char byte = kInterrupt;
    [[maybe_unused]] const ssize_t n = write(pipe_[1], &byte, 1);
}

void InterruptWatcher::watch()
{
    for (;;) {
        Device *device = device_.load();
        // While a stop is pending and an operation still runs, the request is repeated: one made just
        // before the driver entered the operation finds nothing running there and is answered at once.
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
                const bool stop = byte == kInterrupt || byte == kTerminate || byte == kHangUp;
                if (stop && !interrupted_.exchange(true)) {
                    const std::string &line = byte == kTerminate ? stopping_on_term_
                                              : byte == kHangUp  ? stopping_on_hup_
                                                                 : stopping_line_;
                    [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, line.data(), line.size());
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
