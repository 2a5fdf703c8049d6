// demo.cpp - kelvractl's guided tour: every operation in both work modes on a throw-away virtual sensor.
#include "demo.h"

#include "i18n.h"
#include "json.h"
#include "setup.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// The driver refused the finger it was given before taking any press: it said more than its request
// for the first press (the refusal), and took none.
bool refused_at_once(const Report &r)
{
    const auto says = std::count(r.notifies.begin(), r.notifies.end(), kDriverSays);
    return r.outcome != Outcome::success && r.presses == 0 && says >= 2;
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
    bool step(DeviceSession &session, const std::string &title, const std::string &expected,
              const std::string &finger, int timeout_ms, const std::function<Report(Device &)> &operation,
              const Check &check);
    void prompt(const FoldedLine &line);

    const Options &options_;
    const Module &module_;
    const VirtualSensor &vs_;
    Printer &printer_;
    InterruptWatcher &watcher_;
    std::string mode_;
    DeviceSession *session_ = nullptr;
    std::vector<StepResult> steps_;
    bool stopped_ = false;
    bool walk_away_on_refusal_ = false;
    int says_before_a_press_ = 0;
};

Tour::Check expect(Outcome wanted)
{
    return [wanted](const Report &r) -> std::string {
        if (r.outcome == wanted)
            return {};
        return strf(tr("expected %s, got %s"), std::string(outcome_name(wanted)).c_str(),
                    std::string(outcome_name(r.outcome)).c_str()) +
               (r.detail.empty() ? "" : " (" + r.detail + ")");
    };
}

bool Tour::step(DeviceSession &session, const std::string &title, const std::string &expected,
                const std::string &finger, int timeout_ms, const std::function<Report(Device &)> &operation,
                const Check &check)
{
    if (stopped_ || watcher_.interrupted())
        return false;
    const int number = static_cast<int>(steps_.size()) + 1;
    printer_.note("\n" + strf(tr("[%s] step %d: %s"), mode_.c_str(), number, title.c_str()));
    printer_.note("  " + strf(tr("expected: %s"), expected.c_str()));
    session.set_finger(finger);
    says_before_a_press_ = 0;
    bio_set_ops_timeout_ms(timeout_ms);

    const auto start = std::chrono::steady_clock::now();
    StepResult result;
    result.mode = mode_;
    result.title = title;
    result.expected = expected;
    result.report = operation(session.device());
    result.ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    result.why = check(result.report);
    result.ok = result.why.empty();
    if (result.report.outcome == Outcome::stopped) {
        stopped_ = true;
        result.ok = false;
        result.why = tr("stopped by the user");
    }
    printer_.note("  " + report_words(result.report));
    printer_.note(result.ok ? "  " + strf(tr("ok (%lld ms)"), result.ms) : "  " + strf(tr("UNEXPECTED: %s"), result.why.c_str()));
    steps_.push_back(std::move(result));
    return steps_.back().ok;
}

void Tour::prompt(const FoldedLine &line)
{
    if (!printer_.json())
        printer_.prompt(line, "    ");
    // The host-side refusal repeats for as long as the finger keeps pressing; the demo's user then
    // takes the finger away and the driver gives up at the time-out.
    if (line.is_repeat_note || line.prompt.mid != kDriverSays || line.prompt.presses_done.value_or(0) != 0)
        return;
    if (++says_before_a_press_ >= 2 && walk_away_on_refusal_) {
        walk_away_on_refusal_ = false;
        vs_.finger_auto("none");
    }
}

bool Tour::run_mode(const std::string &mode, const std::string &dir)
{
    mode_ = mode;
    printer_.note("\n" + strf(tr("=== Match-on-%s mode ==="), mode.c_str()));
    if (mkdir(dir.c_str(), 0700) != 0) {
        printer_.note(strf(tr("cannot create %s"), dir.c_str()));
        return false;
    }
    const std::string db = dir + "/features.db";
    if (bio_sto_set_db_path(db.c_str()) != 0) {
        printer_.note(strf(tr("cannot create the database %s"), db.c_str()));
        return false;
    }
    DeviceSettings settings;
    settings.profile.work_mode = mode;
    settings.profile.state_file = dir + "/sensor.state";
    settings.profile.frame_dir = options_.frames_dir;
    settings.profile.finger = "none";
    settings.profile.brisk = true;
    std::string error;
    auto session = DeviceSession::start(module_, vs_, settings, watcher_,
                                        [this](const FoldedLine &line) { prompt(line); }, error);
    if (!session) {
        printer_.note(error);
        return false;
    }
    if (session->sensors() != 1) {
        printer_.note(tr("the virtual sensor is not found"));
        return false;
    }
    DeviceSession &device = *session;

    const int normal = options_.timeout_ms.value_or(15000);
    // Host mode keeps refusing an enrolled finger until the time-out; the sensor refuses it at once.
    const int refusal = mode == "host" ? 4000 : normal;
    bool all = true;
    all &= step(device, tr("enroll alice as finger 0 of user 1000"), tr("success"), "alice", normal,
                [](Device &d) { return d.enroll(1000, 0, "alice right index"); }, expect(Outcome::success));
    all &= step(device, tr("verify alice against finger 0 of user 1000"), tr("match"), "alice", normal,
                [](Device &d) { return d.verify(1000, 0); }, expect(Outcome::match));
    all &= step(device, tr("verify bob against finger 0 of user 1000"), tr("no match"), "bob", normal,
                [](Device &d) { return d.verify(1000, 0); }, expect(Outcome::no_match));
    all &= step(device, tr("enroll alice again as finger 1 of user 1000"),
                mode == "host" ? tr("refused as already enrolled until the time-out") : tr("refused as already enrolled"),
                "alice", refusal,
                [this, &mode](Device &d) {
                    walk_away_on_refusal_ = mode == "host";
                    Report r = d.enroll(1000, 1, "alice again");
                    walk_away_on_refusal_ = false;
                    return r;
                },
                [](const Report &r) -> std::string {
                    if (r.outcome == Outcome::success)
                        return tr("the finger was enrolled a second time");
                    if (!refused_at_once(r))
                        return strf(tr("the driver did not refuse the finger before a press (%s)"),
                                    std::string(outcome_name(r.outcome)).c_str());
                    return {};
                });
    all &= step(device, tr("enroll bob as finger 0 of user 1001"), tr("success"), "bob", normal,
                [](Device &d) { return d.enroll(1001, 0, "bob left thumb"); }, expect(Outcome::success));
    // The sensor matches without naming the user, so on the chip a match among every user stays -1.
    const int whose = mode == "host" ? 1001 : -1;
    all &= step(device, tr("identify bob among every user"), mode == "host" ? tr("user 1001") : tr("a match"), "bob",
                normal, [](Device &d) { return d.identify(-1, 0, -1); },
                [whose](const Report &r) -> std::string {
                    if (r.outcome != Outcome::match)
                        return expect(Outcome::match)(r);
                    if (r.matched_uid != whose)
                        return strf(tr("identified user %d"), r.matched_uid.value_or(-1));
                    return {};
                });
    all &= step(device, tr("identify bob among the fingers of user 1000"), tr("no match"), "bob", normal,
                [](Device &d) { return d.identify(1000, 0, -1); }, expect(Outcome::no_match));
    all &= step(device, tr("identify carol, who never enrolled"), tr("no match"), "carol", normal,
                [](Device &d) { return d.identify(-1, 0, -1); }, expect(Outcome::no_match));
    all &= step(device, tr("search alice among every user"), tr("finger 0 of user 1000"), "alice", normal,
                [](Device &d) { return d.search(-1, 0, -1); },
                [](const Report &r) -> std::string {
                    if (r.outcome != Outcome::match)
                        return expect(Outcome::match)(r);
                    if (!has_record(r, 1000, 0) || has_record(r, 1001, 0))
                        return tr("the matching records are not alice's alone");
                    return {};
                });
    all &= step(device, tr("list every user's fingers"), "1000/0, 1001/0", "none", normal,
                [](Device &d) { return d.list(-1, 0, -1); },
                [](const Report &r) -> std::string {
                    if (r.outcome != Outcome::success)
                        return expect(Outcome::success)(r);
                    if (r.records.size() != 2 || !has_record(r, 1000, 0) || !has_record(r, 1001, 0))
                        return strf(tr("listed %zu records, not %s"), r.records.size(), "1000/0, 1001/0");
                    return {};
                });
    all &= step(device, tr("clean user 1000"), tr("success"), "none", normal,
                [](Device &d) { return d.clean(1000, 0, -1); }, expect(Outcome::success));
    all &= step(device, tr("verify alice against the deleted finger"), tr("no match"), "alice", normal,
                [](Device &d) { return d.verify(1000, 0); }, expect(Outcome::no_match));
    all &= step(device, tr("list again"), "1001/0", "none", normal, [](Device &d) { return d.list(-1, 0, -1); },
                [](const Report &r) -> std::string {
                    if (r.outcome != Outcome::success)
                        return expect(Outcome::success)(r);
                    if (r.records.size() != 1 || !has_record(r, 1001, 0))
                        return strf(tr("listed %zu records, not %s"), r.records.size(), "1001/0");
                    return {};
                });
    all &= step(device, tr("clean every user"), tr("success, nothing left"), "none", normal,
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
                        return expect(Outcome::success)(r);
                    if (!r.records.empty())
                        return strf(tr_n("%zu record is left", "%zu records are left", r.records.size()),
                                    r.records.size());
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
        std::fprintf(stderr, "kelvractl: %s\n", tr("cannot create a temporary folder for the demo"));
        return kExitFailed;
    }
    printer.note(strf(tr("Demo on a temporary database and virtual sensor in %s"), tmp.path().c_str()));
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
        printer.note("\n" + strf(tr("%zu of %zu steps behaved as they should."), passed, tour.steps().size()) + " " +
                     (stopped ? tr("Stopped by the user.") : ok ? tr("Demo passed.") : tr("Demo FAILED.")));
    }
    return ok ? kExitOk : kExitFailed;
}

}  // namespace kelvractl
