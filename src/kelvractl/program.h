// program.h - kelvractl's Backend over the loaded driver: it puts in place what a command's row says it
// needs (module, device, database), then runs the driver's operations for the command's handler.
#ifndef KELVRACTL_PROGRAM_H
#define KELVRACTL_PROGRAM_H

#include "backend.h"
#include "locations.h"
#include "output.h"
#include "setup.h"
#include "trace_session.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace kelvractl {

class Program : public Backend {
public:
    Program(const Options &options, Locations locations);
    ~Program() override;

    // Makes ready what the command needs; nullopt when it is, else the exit status of the failure
    // (already shown).
    std::optional<int> prepare(Needs needs);
    // After the command's handler: a recording stores the journal and ends the trace, a replay
    // compares and shows its verdict. The exit status of the whole run.
    int conclude(int status);

    Report discover() override;
    Report enroll(int uid, int index, const std::string &name) override;
    Report verify(int uid, int index) override;
    Report identify(int uid, int from, int to) override;
    Report search(int uid, int from, int to) override;
    Report list(int uid, int from, int to) override;
    Report clean(int uid, int from, int to) override;
    Report stored(int uid, int from, int to) override;
    int demo() override;
    int replay(const std::string &trace) override;
    Report hand_control(const std::string &line) override;
    void note(const std::string &line) override;
    void show(const Report &report) override;
    void print_help(const std::string &text) override;
    Defaults defaults() const override;

private:
    int fail(Outcome outcome, std::string detail);
    std::optional<int> load_driver();
    std::optional<int> open_device();
    std::optional<int> check_database(Needs needs);
    // The report of an operation, with the host's last error as its reason when the driver gave none.
    Report finished(Report report);
    std::optional<int> prepare_replay();
    std::optional<int> start_recording();
    static void on_replay_event(const kelvs_replay_event *event, void *user);

    Options options_;  // a replay points some of them at its own copies
    Locations locations_;
    std::string db_;
    bool default_db_ = false;
    bool memory_db_ = false;
    std::string socket_path_;
    std::unique_ptr<Printer> printer_;
    std::unique_ptr<InterruptWatcher> watcher_;
    std::unique_ptr<Module> module_;
    VirtualSensor sensor_;
    KeyFilePtr user_config_;
    std::unique_ptr<DeviceSession> session_;
    void *sensor_library_ = nullptr;                     // the virtual sensor or the vendor's SDK kelvractl loaded
    std::unique_ptr<TraceRecorder> recorder_;            // --record
    std::optional<std::vector<std::uint8_t>> database_before_;
    std::optional<ReplayPlan> plan_;                     // --replay
    std::string replay_dir_;                             // the replay's copy of the recorded database
};

}  // namespace kelvractl

#endif
