// program.cpp - kelvractl's Backend: the checks before anything is loaded, the driver module and its
// device, the feature database, and the outcome on the screen.
#include "program.h"

#include "demo.h"
#include "i18n.h"
#include "json.h"

#include <fcntl.h>
#include <libintl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

namespace kelvractl {

namespace {

bool is_directory(const std::string &path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string &path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0;
}

std::string parent_of(const std::string &path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::optional<std::vector<std::uint8_t>> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::vector<std::uint8_t> content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return content;
}

// Creates path (mode 0600, never over another file) holding content.
bool write_new_file(const std::string &path, const std::vector<std::uint8_t> &content)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    std::size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    return close(fd) == 0 && written == content.size();
}

// Why the database at path cannot serve a command that reads it (or writes it), or "" when it can.
// Nothing is created here. Missing folders on the way count as creatable when the nearest existing
// one is writable.
std::string database_problem(const std::string &path, bool write, bool may_create_parents)
{
    struct stat st{};
    if (stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return strf(tr("the database %s is not a regular file"), path.c_str());
        if (access(path.c_str(), R_OK) != 0)
            return strf(tr("cannot read the database %s: %s"), path.c_str(), std::strerror(errno));
        if (!write)
            return {};
        if (access(path.c_str(), W_OK) != 0)
            return strf(tr("cannot write the database %s: %s"), path.c_str(), std::strerror(errno));
        // SQLite writes its journal beside the database.
        const std::string dir = parent_of(path);
        if (access(dir.c_str(), W_OK | X_OK) != 0)
            return strf(tr("cannot write the database %s: its folder %s: %s"), path.c_str(), dir.c_str(),
                        std::strerror(errno));
        return {};
    }
    if (errno != ENOENT)
        return strf(tr("cannot use the database %s: %s"), path.c_str(), std::strerror(errno));
    std::string dir = parent_of(path);
    if (!is_directory(dir)) {
        if (!may_create_parents || exists(dir))
            return strf(tr("cannot create the database %s: %s is not a folder"), path.c_str(), dir.c_str());
        while (!exists(dir) && dir != "/" && dir != ".")
            dir = parent_of(dir);
        if (!is_directory(dir))
            return strf(tr("cannot create the database %s: %s is not a folder"), path.c_str(), dir.c_str());
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        return strf(tr("cannot create the database %s: %s: %s"), path.c_str(), dir.c_str(), std::strerror(errno));
    return {};
}

bool same_file(const std::string &a, const std::string &b)
{
    struct stat sa{};
    struct stat sb{};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool make_directories(const std::string &dir)
{
    if (dir.empty() || is_directory(dir))
        return true;
    if (!make_directories(parent_of(dir)))
        return false;
    return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// The last error line of the host or the driver: the reason a database or device call failed.
struct LogMemory {
    std::mutex lock;
    std::string last_error;
};
LogMemory g_log;

extern "C" void remember_log(bio_log_level level, const char *line, void *)
{
    if (level != BIO_LOG_ERROR || line == nullptr)
        return;
    std::lock_guard<std::mutex> guard(g_log.lock);
    g_log.last_error = line;
    while (!g_log.last_error.empty() && g_log.last_error.back() == '\n')
        g_log.last_error.pop_back();
}

std::string last_log_error()
{
    std::lock_guard<std::mutex> guard(g_log.lock);
    return g_log.last_error;
}

constexpr char kDriverTextDomain[] = "biometric-driver-kelvra-dactylen";

}  // namespace

Program::Program(const Options &options, Locations locations)
    : options_(options), locations_(std::move(locations)),
      printer_(std::make_unique<Printer>(stdout, options.json))
{
}

Program::~Program()
{
    // The sensor outlives this run (a replay command runs one inside another): it must not call back.
    if (plan_)
        sensor_.set_replay_event_listener(nullptr, nullptr);
    // The device goes before the watcher it is attached to.
    session_.reset();
    watcher_.reset();
    if (!replay_dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(replay_dir_, ignored);
    }
}

int Program::fail(Outcome outcome, std::string detail)
{
    Report r;
    r.command = options_.command;
    r.outcome = outcome;
    r.detail = std::move(detail);
    printer_->failure(r);
    return exit_status(outcome);
}

std::optional<int> Program::prepare(Needs needs)
{
    if (options_.command == Command::help || options_.command == Command::trace ||
        options_.command == Command::replay)
        return std::nullopt;  // no driver, no database (a replay prepares the run it makes)

    db_ = options_.db_file;
    default_db_ = db_.empty();
    if (!options_.replay_file.empty()) {
        if (auto failed = prepare_replay())
            return failed;
    } else if (default_db_) {
        db_ = locations_.database;
        if (db_.empty())
            return fail(Outcome::usage, tr("no home directory for the default database; give --db FILE"));
    }
    memory_db_ = db_ == ":memory:";
    // One database reached through a link, a relative path or ".." is one database: its sensor state,
    // claim and socket follow its real path, so that two programs on it always meet at one claim.
    if (!memory_db_) {
        std::error_code unresolved;
        if (std::filesystem::path real = std::filesystem::weakly_canonical(db_, unresolved); !unresolved)
            db_ = real.string();
    }
    socket_path_ = !options_.socket_file.empty() ? options_.socket_file : memory_db_ ? std::string() : db_ + ".sock";
    if (needs == Needs::nothing) {
        if (socket_path_.empty())
            return fail(Outcome::usage, tr("an in-memory database has no control socket next to it; give --socket PATH"));
        return std::nullopt;
    }

    // Everything the user typed is checked before anything is loaded or written.
    if (!options_.config_file.empty()) {
        user_config_.reset(g_key_file_new());
        GError *error = nullptr;
        if (!g_key_file_load_from_file(user_config_.get(), options_.config_file.c_str(), G_KEY_FILE_NONE, &error)) {
            const std::string why = error != nullptr ? error->message : "?";
            if (error != nullptr)
                g_error_free(error);
            return fail(Outcome::usage,
                        strf(tr("cannot read the configuration %s: %s"), options_.config_file.c_str(), why.c_str()));
        }
    }
    if (!options_.frames_dir.empty() && !is_directory(options_.frames_dir))
        return fail(Outcome::usage, strf(tr("--frames %s is not a folder"), options_.frames_dir.c_str()));
    const bool database = needs == Needs::database_read || needs == Needs::database_write;
    if (database && !memory_db_) {
        if (const std::string problem = database_problem(db_, needs == Needs::database_write, default_db_);
            !problem.empty())
            return fail(Outcome::error, problem);
    }
    if (!options_.record_file.empty() && database && !memory_db_ && exists(db_)) {
        database_before_ = read_file(db_);
        if (!database_before_)
            return fail(Outcome::error, strf(tr("cannot read the database %s"), db_.c_str()));
    }
    if (!options_.module_file.empty() && !exists(options_.module_file))
        return fail(Outcome::usage, strf(tr("no driver module at %s"), options_.module_file.c_str()));

    if (auto failed = load_driver())
        return failed;
    if (needs == Needs::driver)
        return std::nullopt;
    if (auto failed = open_device())
        return failed;
    if (!database)
        return std::nullopt;

    if (session_->sensors() <= 0)
        return fail(Outcome::error, session_->sensors() == 0
                                        ? std::string(tr("no Kelvra Dactylen sensor found"))
                                        : strf(tr("the sensor count failed with code %d"), session_->sensors()));
    if (!memory_db_ && default_db_ && !make_directories(parent_of(db_)))
        return fail(Outcome::error, strf(tr("cannot create %s: %s"), parent_of(db_).c_str(), std::strerror(errno)));
    if (bio_sto_set_db_path(db_.c_str()) != 0) {
        const std::string why = last_log_error();
        return fail(Outcome::error, strf(tr("cannot open the database %s%s%s"), db_.c_str(), why.empty() ? "" : ": ",
                                         why.c_str()));
    }
    return std::nullopt;
}

std::optional<int> Program::load_driver()
{
    // The driver prints to standard output on its own; only kelvractl's answer goes there.
    std::fflush(stdout);
    const int out_fd = dup(STDOUT_FILENO);
    std::FILE *out = out_fd >= 0 ? fdopen(out_fd, "w") : nullptr;
    if (out == nullptr)
        return fail(Outcome::error, tr("cannot duplicate standard output"));
    const int sink = options_.verbose ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (sink >= 0) {
        dup2(sink, STDOUT_FILENO);
        close(sink);
    }
    printer_ = std::make_unique<Printer>(out, options_.json);

    bio_log_set_threshold(options_.verbose ? BIO_LOG_DEBUG : BIO_LOG_NONE);
    bio_log_set_listener(remember_log, nullptr);
    if (options_.timeout_ms)
        bio_set_ops_timeout_ms(*options_.timeout_ms);

    watcher_ = std::make_unique<InterruptWatcher>();

    const std::string path = !options_.module_file.empty() ? options_.module_file : locations_.module;
    std::string error;
    // A replay runs on the virtual sensor whatever SDK the session was recorded on.
    // The module's NEEDED libKelDactylen.so is whichever library of that name was loaded first: the
    // recorder when recording (it loads the SDK behind it by its path), else the virtual sensor.
    const bool replaying = plan_.has_value();
    // With --vendor-sdk the vendor's SDK, or nothing: never a library of the same name found elsewhere.
    // Behind the recorder, the recorder loads it by its path.
    if (options_.vendor_sdk && !replaying) {
        if (const std::string missing = missing_vendor_sdk(locations_.vendor_sdk); !missing.empty())
            return fail(Outcome::error, missing);
    }
    if (!options_.record_file.empty()) {
        if (auto failed = start_recording())
            return failed;
    } else if (options_.vendor_sdk && !replaying) {
        sensor_library_ = load_vendor_sdk(locations_.vendor_sdk, error);
        if (sensor_library_ == nullptr)
            return fail(Outcome::error, error);
    }
    if (replaying || !options_.vendor_sdk) {
        sensor_library_ = load_virtual_sdk(locations_.virtual_sdk, error);
        if (sensor_library_ == nullptr)
            return fail(Outcome::error, error);
    }
    module_ = Module::load(path, error);
    if (!module_)
        return fail(Outcome::error, error);
    // The module binds its text domain to the locale directory of the prefix it was configured for
    // when it is loaded; the module that came with kelvractl (build tree, another prefix, a DESTDIR
    // tree) speaks from the catalogues that came with it.
    if (same_file(path, locations_.module)) {
        bindtextdomain(kDriverTextDomain, locations_.catalogues.c_str());
        bind_textdomain_codeset(kDriverTextDomain, "UTF-8");
    }

    // Behind the recorder, the module's own SDK is the recorder; the sensor is the library loaded here.
    sensor_ = recorder_ ? VirtualSensor::of_library(sensor_library_) : VirtualSensor::find(module_->path());
    if (replaying) {
        if (sensor_.replay_load(options_.replay_file, options_.as_recorded, error) != 0)
            return fail(Outcome::error, strf(tr("cannot replay %s: %s"), options_.replay_file.c_str(), error.c_str()));
        sensor_.set_replay_event_listener(&Program::on_replay_event, this);
    }
    const bool sensor_options =
        options_.mode || options_.finger || !options_.frames_dir.empty() || !options_.socket_file.empty();
    if (!sensor_.available()) {
        if (options_.command == Command::demo)
            return fail(Outcome::error, tr("demo needs the virtual sensor, and the sensor library loaded is not it"));
        if (sensor_options)
            std::fprintf(stderr, "kelvractl: %s\n",
                         tr("the sensor library is not the virtual sensor; --mode, --finger, --frames and --socket "
                            "have no effect"));
    }
    return std::nullopt;
}

std::optional<int> Program::open_device()
{
    DeviceSettings settings;
    settings.user_config = user_config_.get();
    GKeyFile *config = user_config_.get();
    settings.finger = options_.finger.value_or("");
    if (settings.finger.empty() && config != nullptr && g_key_file_has_key(config, "Finger", "Name", nullptr)) {
        gchar *name = g_key_file_get_string(config, "Finger", "Name", nullptr);
        settings.finger = name != nullptr ? name : "";
        g_free(name);
    }
    if (settings.finger.empty())
        settings.finger = "none";

    ProfileSettings &profile = settings.profile;
    if (options_.mode)
        profile.work_mode = *options_.mode == WorkMode::chip ? "chip" : "host";
    if (!memory_db_ && !(config != nullptr && g_key_file_has_key(config, "Sensor", "StateFile", nullptr)))
        profile.state_file = db_ + ".sensor";
    const bool configured_socket = config != nullptr && g_key_file_has_key(config, "Sensor", "ControlSocket", nullptr);
    if (!options_.socket_file.empty() || !configured_socket) {
        // The default socket lies beside the database, where kelvractl may not be able to make one (a
        // read-only folder); then there is no hand control, and nothing to warn about.
        if (!fits_socket_path(socket_path_)) {
            if (!socket_path_.empty() && options_.verbose)
                std::fprintf(stderr, "kelvractl: %s\n",
                             strf(tr("%s is too long for a socket; no hand control"), socket_path_.c_str()).c_str());
        } else if (!options_.socket_file.empty() || access(parent_of(socket_path_).c_str(), W_OK | X_OK) == 0) {
            profile.control_socket = socket_path_;
        }
    }
    profile.frame_dir = options_.frames_dir;
    profile.finger = settings.finger;

    std::string error;
    session_ = DeviceSession::start(*module_, sensor_, settings, *watcher_,
                                    [this](const FoldedLine &line) { printer_->prompt(line); }, error);
    if (!session_)
        return fail(Outcome::error, error);
    if (recorder_)
        session_->device().set_before_stop([recorder = recorder_.get()] { recorder->record_stop(); });
    return std::nullopt;
}

std::optional<int> Program::prepare_replay()
{
    // `replay FILE` hands over the plan it read already; --replay FILE reads it here.
    std::string error;
    if (!plan_)
        plan_ = read_replay_plan(options_.replay_file, error);
    if (!plan_)
        return fail(Outcome::error, error);
    // The session starts from the database it was recorded on, in a folder of the replay's own: the
    // user's database is never touched.
    char folder[] = "/tmp/kelvractl-replay-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return fail(Outcome::error, strf(tr("cannot make a folder for the replay: %s"), std::strerror(errno)));
    replay_dir_ = folder;
    db_ = replay_dir_ + "/features.db";
    default_db_ = false;
    if (plan_->database && !write_new_file(db_, *plan_->database))
        return fail(Outcome::error, strf(tr("cannot write the recorded database to %s"), db_.c_str()));
    if (plan_->config) {
        options_.config_file = replay_dir_ + "/kelvractl.conf";
        if (!write_new_file(options_.config_file, *plan_->config))
            return fail(Outcome::error, strf(tr("cannot write the recorded configuration to %s"),
                                             options_.config_file.c_str()));
    }
    // The sensor answers from the trace: nothing reaches it by hand and it renders no frames.
    options_.socket_file.clear();
    options_.frames_dir.clear();
    return std::nullopt;
}

std::optional<int> Program::start_recording()
{
    std::string error;
    recorder_ = TraceRecorder::load(locations_.recorder, error);
    if (!recorder_)
        return fail(Outcome::error, error);
    const std::string sdk = options_.vendor_sdk ? locations_.vendor_sdk : locations_.virtual_sdk;
    if (!recorder_->configure(sdk, options_.record_file, error))
        return fail(Outcome::error, error);
    std::optional<std::vector<std::uint8_t>> config;
    if (!options_.config_file.empty() && !(config = read_file(options_.config_file)))
        return fail(Outcome::error, strf(tr("cannot read the configuration %s"), options_.config_file.c_str()));
    if (!recorder_->add_section(kCommandSection, encode_words(options_.words), error) ||
        (config && !recorder_->add_section(kConfigSection, *config, error)) ||
        (database_before_ && !recorder_->add_section(kDatabaseSection, *database_before_, error)))
        return fail(Outcome::error, strf(tr("cannot record into %s: %s"), options_.record_file.c_str(), error.c_str()));
    return std::nullopt;
}

// The recorded host asked for a stop at this point: ask again, as Ctrl-C does, and give the stopping
// thread the moment it needs to reach the driver before this SDK call returns.
void Program::on_replay_event(const kelvs_replay_event *event, void *user)
{
    auto *self = static_cast<Program *>(user);
    if (event->kind != KELVS_REPLAY_EVENT_STOP || !self->watcher_ || !self->session_)
        return;
    self->watcher_->interrupt();
    for (int waited = 0; waited < 1000 && !self->session_->device().stop_requested(); ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

int Program::conclude(int status)
{
    if (recorder_) {
        std::string error;
        const std::vector<std::string> journal = session_ ? session_->device().journal() : std::vector<std::string>();
        if (!recorder_->add_section(kJournalSection, encode_lines(journal), error) || !recorder_->finish(error)) {
            std::fprintf(stderr, "kelvractl: %s\n",
                         strf(tr("the trace %s is incomplete: %s"), options_.record_file.c_str(), error.c_str()).c_str());
            return status == kExitOk ? kExitFailed : status;
        }
        printer_->note(strf(tr("Recorded %llu sensor calls into %s."), static_cast<unsigned long long>(recorder_->calls()),
                            options_.record_file.c_str()));
        return status;
    }
    if (!plan_)
        return status;
    const kelvs_replay_report replay = sensor_.replay_status();
    const std::vector<std::string> journal = session_ ? session_->device().journal() : std::vector<std::string>();
    const auto difference = compare_journals(plan_->journal, journal);
    const bool calls_match = replay.loaded && replay.complete;
    std::string divergence = replay.message;
    if (divergence.empty() && !calls_match)
        divergence = strf(tr("the driver made %llu of the %llu recorded calls"),
                          static_cast<unsigned long long>(replay.calls_answered),
                          static_cast<unsigned long long>(replay.calls_recorded));
    std::string journal_text;
    if (difference)
        journal_text = strf(tr("journal line %zu: the trace has \"%s\", the replay has \"%s\""), difference->line,
                            difference->recorded.c_str(), difference->replayed.c_str());
    const bool matches = calls_match && !difference;
    if (printer_->json()) {
        JsonObject o;
        o.add("command", "replay").add("outcome", outcome_name(matches ? Outcome::success : Outcome::failed));
        o.add("exit_status", matches ? kExitOk : kExitFailed);
        o.add("calls", static_cast<long long>(replay.calls_answered));
        o.add_bool("journal_matches", !difference).add("divergence", calls_match ? nullptr : divergence.c_str());
        o.add("journal_difference", difference ? journal_text.c_str() : nullptr);
        printer_->raw_json(o.str());
    } else if (matches) {
        printer_->note(strf(tr("replay matches: %llu calls, identical journal"),
                            static_cast<unsigned long long>(replay.calls_answered)));
    } else {
        if (difference)
            printer_->note(strf(tr("replay differs: %s"), journal_text.c_str()));
        if (!calls_match)
            printer_->note(strf(tr("replay diverged: %s"), divergence.c_str()));
    }
    return matches ? kExitOk : kExitFailed;
}

int Program::replay(const std::string &trace)
{
    std::string error;
    auto plan = read_replay_plan(trace, error);
    if (!plan)
        return fail(Outcome::error, error);
    const std::vector<std::string_view> words(plan->command.begin(), plan->command.end());
    const ParseResult parsed = parse_args(words);
    if (!parsed.ok || parsed.options.command == Command::replay || !parsed.options.replay_file.empty())
        return fail(Outcome::error, strf(tr("the trace %s keeps a command that cannot be rerun: %s"), trace.c_str(),
                                         parsed.ok ? "replay" : parsed.error.c_str()));
    Options rerun = parsed.options;
    rerun.replay_file = trace;
    rerun.json = rerun.json || options_.json;
    rerun.as_recorded = rerun.as_recorded || options_.as_recorded;
    rerun.verbose = rerun.verbose || options_.verbose;
    const CommandRow &row = row_of(rerun.command);
    Program program(rerun, locations_);
    program.plan_ = std::move(plan);
    if (const auto failed = program.prepare(row.needs))
        return *failed;
    return program.conclude(row.handler(program, rerun));
}

Report Program::finished(Report report)
{
    if ((report.outcome == Outcome::error || report.outcome == Outcome::failed) && report.detail.empty())
        report.detail = last_log_error();
    return report;
}

Report Program::discover()
{
    Report r;
    r.command = Command::discover;
    const int count = session_->sensors();
    r.devices = count > 0 ? count : 0;
    r.outcome = count > 0 ? Outcome::success : Outcome::error;
    if (count == 0)
        r.detail = tr("no Kelvra Dactylen sensor found");
    else if (count < 0)
        r.detail = strf(tr("the sensor count failed with code %d"), count);
    return r;
}

Report Program::enroll(int uid, int index, const std::string &name)
{
    return finished(session_->device().enroll(uid, index, name));
}
Report Program::verify(int uid, int index) { return finished(session_->device().verify(uid, index)); }
Report Program::identify(int uid, int from, int to) { return finished(session_->device().identify(uid, from, to)); }
Report Program::search(int uid, int from, int to) { return finished(session_->device().search(uid, from, to)); }
Report Program::list(int uid, int from, int to) { return finished(session_->device().list(uid, from, to)); }
Report Program::clean(int uid, int from, int to) { return finished(session_->device().clean(uid, from, to)); }
Report Program::stored(int uid, int from, int to) { return finished(session_->device().stored(uid, from, to)); }

int Program::demo() { return run_demo(options_, *module_, sensor_, *printer_, *watcher_); }

Report Program::hand_control(const std::string &line)
{
    Report r;
    r.command = Command::finger;
    r.line = line;
    std::string error;
    const auto answer = send_finger_command(socket_path_, line, error);
    if (!answer) {
        r.outcome = Outcome::error;
        r.detail = error;
        return r;
    }
    r.answer = *answer;
    const std::string_view refused = KELVS_ANSWER_REFUSED;
    if (r.answer.starts_with(refused)) {
        r.outcome = Outcome::failed;
        r.detail = r.answer.substr(refused.size());
    } else {
        r.outcome = Outcome::success;
    }
    return r;
}

void Program::note(const std::string &line) { printer_->note(line); }
void Program::show(const Report &report) { printer_->report(report); }
void Program::print_help(const std::string &text) { std::fputs(text.c_str(), stdout); }

Defaults Program::defaults() const
{
    Defaults d;
    d.timeout_ms = std::to_string(bio_get_ops_timeout_ms());
    d.database = locations_.database;
    d.module = locations_.module;
    return d;
}

}  // namespace kelvractl
