// interrupt.h - Ctrl-C (or SIGTERM, SIGHUP) during an operation: the signal only wakes a watcher thread,
// which asks the driver to stop; a second one ends the process at once with status 130.
#ifndef KELVRACTL_INTERRUPT_H
#define KELVRACTL_INTERRUPT_H

#include <atomic>
#include <string>
#include <thread>

namespace kelvractl {

class Device;

class InterruptWatcher {
public:
    // Installs the SIGINT, SIGTERM and SIGHUP handlers and starts the watcher; a device may be attached
    // later.
    InterruptWatcher();
    ~InterruptWatcher();
    InterruptWatcher(const InterruptWatcher &) = delete;
    InterruptWatcher &operator=(const InterruptWatcher &) = delete;

    void attach(Device *device) { device_.store(device); }
    bool interrupted() const { return interrupted_.load(); }
    // The same stop as a Ctrl-C, asked for by kelvractl itself (a replay repeats a recorded one).
    void interrupt();

private:
    void watch();

    int pipe_[2] = {-1, -1};
    std::string stopping_line_;     // after Ctrl-C
    std::string stopping_on_term_;  // after SIGTERM
    std::string stopping_on_hup_;   // after SIGHUP
    std::atomic<Device *> device_{nullptr};
    std::atomic<bool> interrupted_{false};
    std::thread thread_;
};

// How long one stop request may wait for the driver's acknowledgement.
inline constexpr int kStopWaitMs = 1500;

}  // namespace kelvractl

#endif
