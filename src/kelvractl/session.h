// session.h - one driver module loaded the way a biometric host loads it, and one device run through it.
#ifndef KELVRACTL_SESSION_H
#define KELVRACTL_SESSION_H

#include "bio_host_program.h"
#include "prompts.h"
#include "report.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kelvractl {

class Module {
public:
    // dlopen with RTLD_NOW | RTLD_LOCAL and the entry point by name; nullptr with a reason otherwise.
    static std::unique_ptr<Module> load(const std::string &path, std::string &error);
    ~Module();
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;

    bio_driver_configure_fn configure() const { return configure_; }
    const std::string &path() const { return path_; }

private:
    Module(bio_driver_configure_fn configure, std::string path) : configure_(configure), path_(std::move(path)) {}
    bio_driver_configure_fn configure_;
    std::string path_;
};

// The device record of one configured device, from configure to free.
class Device {
public:
    Device(const Module &module, std::string device_name);
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    // configure and driver_init; false with a reason when the driver refuses.
    bool configure(GKeyFile *conf, std::string &error);
    // The driver's count of attached sensors (negative: an error code).
    int discover();

    Report enroll(int uid, int index, const std::string &name);
    Report verify(int uid, int index);
    Report identify(int uid, int from, int to);
    Report search(int uid, int from, int to);
    Report list(int uid, int from, int to);
    Report clean(int uid, int from, int to);
    // The device's records in the host's own database, read by the host without the driver or the
    // sensor (as a list command's outcome).
    Report stored(int uid, int from, int to);

    // Where the prompts go, their repeats folded.
    void set_prompt_sink(std::function<void(const FoldedLine &)> sink) { sink_ = std::move(sink); }
    // Called right after a successful open, before the operation (the demo places its finger there).
    void set_before_operation(std::function<void()> hook) { before_ = std::move(hook); }
    // Asked when an open fails: the pid of the program that holds the sensor (-1: unknown), or 0
    // when the sensor was not refused for being in use.
    void set_busy_owner(std::function<int()> owner) { busy_owner_ = std::move(owner); }
    // Called on the stopping thread just before the driver is asked to stop (a recorder notes the moment).
    void set_before_stop(std::function<void()> hook) { before_stop_ = std::move(hook); }
    // Every status, result and notify change of this device since it was configured, one line each
    // ("status 201 operation=1"): what a replay of the session must reproduce.
    std::vector<std::string> journal() const;

    // From another thread: ask the running operation to stop (a no-op when none runs). Returns once
    // the driver has answered the request.
    void request_stop(int waiting_ms);
    bool operation_running() const { return running_.load(); }
    // A stop asked for outside an operation keeps the next one from starting.
    void mark_stop_requested() { stop_requested_ = true; }
    bool stop_requested() const { return stop_requested_.load(); }

    bio_dev &dev() { return dev_; }

private:
    static void on_event(bio_dev *dev, const bio_event *event, void *user);
    // Records the lines in the report's messages and, when shown, hands them to the sink.
    void emit(const std::vector<FoldedLine> &lines, bool shown = true);
    Report run(Report report, const std::function<void(Report &)> &operation);

    bio_dev dev_{};
    std::function<void(const FoldedLine &)> sink_;
    std::function<void()> before_;
    std::function<int()> busy_owner_;
    std::function<void()> before_stop_;
    mutable std::mutex journal_lock_;
    std::vector<std::string> journal_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_requested_{false};
    std::mutex stop_lock_;
    bool configured_ = false;

    // Filled by the event listener on the operation's thread.
    bool tracking_ = false;
    bool enrolling_ = false;            // an enrollment runs on the open sensor
    EnrollCounter counter_;
    PromptFolder folder_;
    // The open's prompts wait until it is known whether the sensor was in use by another program: then
    // the driver's own open failure is no news beside kelvractl's line, which says why and who.
    bool holding_ = false;
    std::vector<FoldedLine> held_;
    int last_result_ = -1;
    int last_notify_ = -1;
    bool stop_reported_ = false;        // the driver told the operation's stop (result 3)
    Report *current_ = nullptr;
};

// Outcome of a finished operation from the last result it set.
Outcome outcome_of_result(int result);

}  // namespace kelvractl

#endif
