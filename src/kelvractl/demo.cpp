// demo.cpp - kelvractl's guided tour: every operation in both work modes on a throw-away virtual sensor.
#include "app.h"
#include "json.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace kelvractl {

namespace {

// The temporary directory and everything the demo put in it go when the demo ends.
class TempDir {
public:
    TempDir()
    {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/kelvractl-demo-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) != nullptr)
            path_ = buffer.data();
    }
    ~TempDir()
    {
        if (!path_.empty())
            remove_tree(path_);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

private:
    static void remove_tree(const std::string &path)
    {
        if (DIR *dir = opendir(path.c_str())) {
            while (const dirent *entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name == "." || name == "..")
                    continue;
                const std::string child = path + "/" + name;
                struct stat st{};
                if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                    remove_tree(child);
                else
                    unlink(child.c_str());
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    }
    std::string path_;
};

// Every mode runs the same steps; fewer means one went missing.
constexpr std::size_t kStepsPerMode = 14;

struct StepResult {
    std::string mode;
    std::string title;
    std::string expected;
    Report report;
    bool ok = false;
    std::string why;
    long long ms = 0;
};

bool has_record(const Report &r, int uid, int index)
{
    for (const Record &rec : r.records)
        if (rec.uid == uid && rec.index == index)
            return true;
    return false;
}

bool said_already_enrolled(const Report &r)
{
    // The driver's own words for a finger it refuses as enrolled already ("已注册": is enrolled).
    for (const std::string &m : r.messages)
        if (m.find("已注册") != std::string::npos)
            return true;
    return false;
}

class Tour {
public:
    Tour(const Options &options, const Module &module, const VirtualSensor &vs, Printer &printer,
         InterruptWatcher &watcher)
        : options_(options), module_(module), vs_(vs), printer_(printer), watcher_(watcher) {}

    bool run_mode(const std::string &mode, const std::string &dir);
    const std::vector<StepResult> &steps() const { return steps_; }
    bool stopped() const { return stopped_; }

    using Check = std::function<std::string(const Report &)>;  // empty: as expected

private:
    bool step(Device &device, const std::string &title, const std::string &expected, const std::string &finger,
              int timeout_ms, const std::function<Report(Device &)> &operation, const Check &check);

    const Options &options_;
    const Module &module_;
    const VirtualSensor &vs_;
    Printer &printer_;
    InterruptWatcher &watcher_;
    std::string mode_;
    std::string finger_;
    std::vector<StepResult> steps_;
    bool stopped_ = false;
    bool walk_away_on_refusal_ = false;
};

Tour::Check expect(Outcome wanted)
{
    return [wanted](const Report &r) -> std::string {
        if (r.outcome == wanted)
            return {};
        return "expected " + std::string(outcome_name(wanted)) + ", got " + std::string(outcome_name(r.outcome)) +
               (r.detail.empty() ? "" : " (" + r.detail + ")");
    };
}

bool Tour::step(Device &device, const std::string &title, const std::string &expected, const std::string &finger,
                int timeout_ms, const std::function<Report(Device &)> &operation, const Check &check)
{
    if (stopped_ || watcher_.interrupted())
        return false;
    const int number = static_cast<int>(steps_.size()) + 1;
    printer_.note("\n[" + mode_ + "] step " + std::to_string(number) + ": " + title);
    printer_.note("  expected: " + expected);
    finger_ = finger;
    bio_set_ops_timeout_ms(timeout_ms);

    const auto start = std::chrono::steady_clock::now();
    StepResult result;
    result.mode = mode_;
    result.title = title;
    result.expected = expected;
    result.report = operation(device);
    result.ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    result.why = check(result.report);
    result.ok = result.why.empty();
    if (result.report.outcome == Outcome::stopped) {
        stopped_ = true;
        result.ok = false;
        result.why = "stopped by the user";
    }
    printer_.note("  " + report_words(result.report));
    printer_.note(result.ok ? "  ok (" + std::to_string(result.ms) + " ms)" : "  UNEXPECTED: " + result.why);
    steps_.push_back(std::move(result));
    return steps_.back().ok;
}

bool Tour::run_mode(const std::string &mode, const std::string &dir)
{
    mode_ = mode;
    printer_.note("\n=== Match-on-" + mode + " mode ===");
    if (mkdir(dir.c_str(), 0700) != 0) {
        printer_.note("cannot create " + dir);
        return false;
    }
    const std::string db = dir + "/features.db";
    if (bio_sto_set_db_path(db.c_str()) != 0) {
        printer_.note("cannot create the database " + db);
        return false;
    }
    ProfileSettings settings;
    settings.work_mode = mode;
    settings.state_file = dir + "/sensor.state";
    settings.frame_dir = options_.frames_dir;
    settings.finger = "none";
    settings.brisk = true;
    std::string error;
    if (vs_.load_profile(sensor_profile(nullptr, settings), error) != 0) {
        printer_.note("the virtual sensor refused the demo profile: " + error);
        return false;
    }

    KeyFilePtr conf(g_key_file_new());
    Device device(module_, kDeviceName);
    if (!device.configure(conf.get(), error)) {
        printer_.note(error);
        return false;
    }
    watcher_.attach(&device);
    struct Detach {
        InterruptWatcher &watcher;
        ~Detach() { watcher.attach(nullptr); }
    } detach{watcher_};
    if (watcher_.interrupted())
        device.mark_stop_requested();
    device.set_prompt_sink([this](const Prompt &p) {
        if (!printer_.json())
            printer_.prompt(p, "    ");
        // The host-side refusal repeats for as long as the finger keeps pressing; the demo's user
        // then takes the finger away and the driver gives up at the time-out.
        if (walk_away_on_refusal_ && p.text.find("已注册") != std::string::npos) {
            walk_away_on_refusal_ = false;
            vs_.finger_auto("none");
        }
    });
    device.set_before_operation([this] { vs_.finger_auto(finger_); });
    if (device.discover() != 1) {
        printer_.note("the virtual sensor is not found");
        return false;
    }

    const int normal = options_.timeout_ms.value_or(15000);
    // Host mode keeps refusing an enrolled finger until the time-out; the sensor refuses it at once.
    const int refusal = mode == "host" ? 4000 : normal;
    bool all = true;
    all &= step(device, "enroll alice as finger 0 of user 1000", "success", "alice", normal,
                [](Device &d) { return d.enroll(1000, 0, "alice right index"); }, expect(Outcome::success));
    all &= step(device, "verify alice against finger 0 of user 1000", "match", "alice", normal,
                [](Device &d) { return d.verify(1000, 0); }, expect(Outcome::match));
    all &= step(device, "verify bob against finger 0 of user 1000", "no match", "bob", normal,
                [](Device &d) { return d.verify(1000, 0); }, expect(Outcome::no_match));
    all &= step(device, "enroll alice again as finger 1 of user 1000",
                mode == "host" ? "refused as already enrolled until the time-out" : "refused as already enrolled",
                "alice", refusal,
                [this, &mode](Device &d) {
                    walk_away_on_refusal_ = mode == "host";
                    Report r = d.enroll(1000, 1, "alice again");
                    walk_away_on_refusal_ = false;
                    return r;
                },
                [](const Report &r) -> std::string {
                    if (r.outcome == Outcome::success)
                        return "the finger was enrolled a second time";
                    if (!said_already_enrolled(r))
                        return "the driver did not say the finger is enrolled already (" +
                               std::string(outcome_name(r.outcome)) + ")";
                    return {};
                });
    all &= step(device, "enroll bob as finger 0 of user 1001", "success", "bob", normal,
                [](Device &d) { return d.enroll(1001, 0, "bob left thumb"); }, expect(Outcome::success));
    // The sensor matches without naming the user, so on the chip a match among every user stays -1.
    const int whose = mode == "host" ? 1001 : -1;
    all &= step(device, "identify bob among every user", mode == "host" ? "user 1001" : "a match", "bob", normal,
                [](Device &d) { return d.identify(-1, 0, -1); },
                [whose](const Report &r) -> std::string {
                    if (r.outcome != Outcome::match)
                        return "expected a match, got " + std::string(outcome_name(r.outcome));
                    if (r.matched_uid != whose)
                        return "identified user " + std::to_string(r.matched_uid.value_or(-1));
                    return {};
                });
    all &= step(device, "identify bob among the fingers of user 1000", "no match", "bob", normal,
                [](Device &d) { return d.identify(1000, 0, -1); }, expect(Outcome::no_match));
    all &= step(device, "identify carol, who never enrolled", "no match", "carol", normal,
                [](Device &d) { return d.identify(-1, 0, -1); }, expect(Outcome::no_match));
    all &= step(device, "search alice among every user", "finger 0 of user 1000", "alice", normal,
                [](Device &d) { return d.search(-1, 0, -1); },
                [](const Report &r) -> std::string {
                    if (r.outcome != Outcome::match)
                        return "expected a match, got " + std::string(outcome_name(r.outcome));
                    if (!has_record(r, 1000, 0) || has_record(r, 1001, 0))
                        return "the matching records are not alice's alone";
                    return {};
                });
    all &= step(device, "list every user's fingers", "1000/0 and 1001/0", "none", normal,
                [](Device &d) { return d.list(-1, 0, -1); },
                [](const Report &r) -> std::string {
                    if (r.outcome != Outcome::success)
                        return "expected success, got " + std::string(outcome_name(r.outcome));
                    if (r.records.size() != 2 || !has_record(r, 1000, 0) || !has_record(r, 1001, 0))
                        return "listed " + std::to_string(r.records.size()) + " records, not 1000/0 and 1001/0";
                    return {};
                });
    all &= step(device, "clean user 1000", "success", "none", normal,
                [](Device &d) { return d.clean(1000, 0, -1); }, expect(Outcome::success));
    all &= step(device, "verify alice against the deleted finger", "no match", "alice", normal,
                [](Device &d) { return d.verify(1000, 0); }, expect(Outcome::no_match));
    all &= step(device, "list again", "only 1001/0", "none", normal, [](Device &d) { return d.list(-1, 0, -1); },
                [](const Report &r) -> std::string {
                    if (r.outcome != Outcome::success)
                        return "expected success, got " + std::string(outcome_name(r.outcome));
                    if (r.records.size() != 1 || !has_record(r, 1001, 0))
                        return "listed " + std::to_string(r.records.size()) + " records, not 1001/0 alone";
                    return {};
                });
    all &= step(device, "clean every user", "success, nothing left", "none", normal,
                [](Device &d) {
                    Report r = d.clean(-1, 0, -1);
                    if (r.outcome == Outcome::success) {
                        const Report left = d.list(-1, 0, -1);
                        r.records = left.records;
                        if (left.outcome != Outcome::success)
                            r.outcome = left.outcome;
                    }
                    return r;
                },
                [](const Report &r) -> std::string {
                    if (r.outcome != Outcome::success)
                        return "expected success, got " + std::string(outcome_name(r.outcome));
                    if (!r.records.empty())
                        return std::to_string(r.records.size()) + " records are left";
                    return {};
                });
    return all;
}

}  // namespace

int run_demo(const Options &options, const Module &module, const VirtualSensor &vs, Printer &printer,
             InterruptWatcher &watcher)
{
    TempDir tmp;
    if (tmp.path().empty()) {
        std::fprintf(stderr, "kelvractl: cannot create a temporary directory for the demo\n");
        return kExitFailed;
    }
    printer.note("Demo on a temporary database and virtual sensor in " + tmp.path());
    Tour tour(options, module, vs, printer, watcher);
    bool ok = true;
    for (const char *mode : {"host", "chip"}) {
        if (tour.stopped() || watcher.interrupted())
            break;
        ok &= tour.run_mode(mode, tmp.path() + "/" + mode);
    }
    const bool stopped = tour.stopped() || watcher.interrupted();
    ok = ok && !stopped && tour.steps().size() == 2 * kStepsPerMode;

    std::size_t passed = 0;
    for (const auto &s : tour.steps())
        passed += s.ok ? 1 : 0;
    if (printer.json()) {
        std::string steps = "[";
        for (std::size_t i = 0; i < tour.steps().size(); ++i) {
            const StepResult &s = tour.steps()[i];
            JsonObject o;
            o.add("mode", std::string_view(s.mode)).add("step", std::string_view(s.title));
            o.add("expected", std::string_view(s.expected)).add_bool("ok", s.ok).add("ms", s.ms);
            if (!s.ok)
                o.add("why", std::string_view(s.why));
            o.add_raw("report", report_json(s.report));
            steps += (i > 0 ? "," : "") + o.str();
        }
        JsonObject o;
        o.add("command", "demo").add("outcome", stopped ? "stopped" : ok ? "success" : "failed");
        o.add("exit_status", ok ? kExitOk : kExitFailed);
        o.add("passed", static_cast<long long>(passed)).add("steps_run", static_cast<long long>(tour.steps().size()));
        o.add_raw("steps", steps + "]");
        printer.raw_json(o.str());
    } else {
        printer.note("\n" + std::to_string(passed) + " of " + std::to_string(tour.steps().size()) +
                     " steps behaved as they should." +
                     (stopped ? " Stopped by the user." : ok ? " Demo passed." : " Demo FAILED."));
    }
    return ok ? kExitOk : kExitFailed;
}

}  // namespace kelvractl
