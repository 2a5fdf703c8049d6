// session.h - one driver module loaded the way a biometric host loads it, and one device run through it.
#ifndef KELVRACTL_SESSION_H
#define KELVRACTL_SESSION_H

#include "bio_host_program.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kelvractl {

enum class Outcome { success, match, no_match, failed, timeout, stopped, disabled, busy, error };

std::string_view outcome_name(Outcome outcome);
// 0 success or match, 1 no match, 3 anything that did not complete.
int exit_status(Outcome outcome);

struct Record {
    int uid = 0;
    int index = 0;
    std::string index_name;
    int samples = 0;
};

// What one command did.
struct Report {
    std::string command;
    Outcome outcome = Outcome::error;
    int result = -1;                  // last result the driver set during the operation (-1: none)
    int notify = -1;                  // last notify id
    int status = -1;                  // device status afterwards
    std::vector<int> notifies;        // every notify id, in order
    std::vector<std::string> messages;  // the prompt texts shown, in order
    std::vector<Record> records;
    std::optional<int> matched_uid;
    std::optional<int> devices;
    std::optional<int> owner_pid;     // busy: the program that holds the sensor, when known
    std::string detail;               // why it failed, when it did
    std::string subject;              // what it worked on, in words ("finger 0 of user 1000")
};

// A prompt as it happens: the notify id, its text, and the enrollment progress (presses done, 0-6)
// when the operation is an enrollment.
struct Prompt {
    int mid = 0;
    std::string text;
    std::optional<int> presses_done;
};

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

    void set_prompt_sink(std::function<void(const Prompt &)> sink) { sink_ = std::move(sink); }
    // Called right after a successful open, before the operation (the demo places its finger there).
    void set_before_operation(std::function<void()> hook) { before_ = std::move(hook); }
    // Asked when an open fails: the pid of the program that holds the sensor (-1: unknown), or 0
    // when the sensor was not refused for being in use.
    void set_busy_owner(std::function<int()> owner) { busy_owner_ = std::move(owner); }

    // From another thread: ask the running operation to stop (a no-op when none runs). Returns once
    // the driver has answered the request.
    void request_stop(int waiting_ms);
    bool operation_running() const { return running_.load(); }
    // A stop asked for outside an operation keeps the next one from starting.
    void mark_stop_requested() { stop_requested_ = true; }
    bool stop_requested() const { return stop_requested_.load(); }

    bio_dev &dev() { return dev_; }

private:
    struct Tracking;
    static void on_event(bio_dev *dev, const bio_event *event, void *user);
    Report run(std::string command, bool enrolling, const std::function<void(Report &)> &operation);

    bio_dev dev_{};
    std::function<void(const Prompt &)> sink_;
    std::function<void()> before_;
    std::function<int()> busy_owner_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_requested_{false};
    std::mutex stop_lock_;
    bool configured_ = false;

    // Filled by the event listener on the operation's thread.
    bool tracking_ = false;
    bool enrolling_ = false;
    int presses_done_ = 0;
    int press_asked_ = 0;
    int last_result_ = -1;
    int last_notify_ = -1;
    std::string last_key_;              // the last prompt the driver gave, shown or not
    std::set<std::string> steps_seen_;  // prompt-to-prompt steps already shown
    Report *current_ = nullptr;
};

// Outcome of a finished operation from the last result it set.
Outcome outcome_of_result(int result);

}  // namespace kelvractl

#endif
