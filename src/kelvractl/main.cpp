// main.cpp - kelvractl: runs the Kelvra Dactylen driver module from the command line as a host does.
#include "app.h"
#include "json.h"
#include "locations.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace kelvractl {

KeyFilePtr driver_configuration(GKeyFile *user_config, const char *device_name)
{
    KeyFilePtr conf(g_key_file_new());
    if (user_config == nullptr || !g_key_file_has_group(user_config, device_name))
        return conf;
    gsize count = 0;
    gchar **keys = g_key_file_get_keys(user_config, device_name, &count, nullptr);
    for (gsize i = 0; keys != nullptr && i < count; ++i) {
        gchar *value = g_key_file_get_value(user_config, device_name, keys[i], nullptr);
        if (value != nullptr)
            g_key_file_set_value(conf.get(), device_name, keys[i], value);
        g_free(value);
    }
    g_strfreev(keys);
    return conf;
}

std::string sensor_profile(GKeyFile *user_config, const ProfileSettings &s)
{
    KeyFilePtr profile(g_key_file_new());
    for (const char *group : {"Sensor", "Finger"}) {
        if (user_config == nullptr || !g_key_file_has_group(user_config, group))
            continue;
        gsize count = 0;
        gchar **keys = g_key_file_get_keys(user_config, group, &count, nullptr);
        for (gsize i = 0; keys != nullptr && i < count; ++i) {
            gchar *value = g_key_file_get_value(user_config, group, keys[i], nullptr);
            if (value != nullptr)
                g_key_file_set_value(profile.get(), group, keys[i], value);
            g_free(value);
        }
        g_strfreev(keys);
    }
    auto set = [&](const char *group, const char *key, const std::string &value) {
        if (!value.empty())
            g_key_file_set_string(profile.get(), group, key, value.c_str());
    };
    set("Sensor", "WorkMode", s.work_mode);
    set("Sensor", "StateFile", s.state_file);
    set("Sensor", "ControlSocket", s.control_socket);
    set("Sensor", "FrameDir", s.frame_dir);
    set("Finger", "Name", s.finger);
    if (s.brisk) {
        g_key_file_set_integer(profile.get(), "Finger", "StartMs", 150);
        g_key_file_set_integer(profile.get(), "Finger", "LandMs", 80);
        g_key_file_set_integer(profile.get(), "Finger", "PressMs", 300);
        g_key_file_set_integer(profile.get(), "Finger", "LeaveMs", 80);
        g_key_file_set_integer(profile.get(), "Finger", "AwayMs", 300);
    }
    gsize length = 0;
    gchar *data = g_key_file_to_data(profile.get(), &length, nullptr);
    std::string text = data != nullptr ? std::string(data, length) : std::string();
    g_free(data);
    return text;
}

}  // namespace kelvractl

namespace {

using namespace kelvractl;

int usage_error(const std::string &message)
{
    std::fprintf(stderr, "kelvractl: %s\n", message.c_str());
    return kExitUsage;
}

int failure(const std::string &message)
{
    std::fprintf(stderr, "kelvractl: %s\n", message.c_str());
    return kExitFailed;
}

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

// A host program may take its own defaults from the user's environment.
std::string default_database()
{
    std::string base;
    if (const char *xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char *home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/') {
            const passwd *pw = getpwuid(getuid());
            home = pw != nullptr ? pw->pw_dir : nullptr;
        }
        if (home == nullptr)
            return {};
        base = std::string(home) + "/.local/share";
    }
    return base + "/kelvractl/features.db";
}

// Whether the database can be opened or created at path, without creating anything. Directories
// that are missing on the way count as creatable when the nearest existing one is writable.
std::string database_problem(const std::string &path, bool may_create_parents)
{
    struct stat st{};
    if (stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return "the database " + path + " is not a regular file";
        if (access(path.c_str(), R_OK | W_OK) != 0)
            return "cannot read and write the database " + path + ": " + std::strerror(errno);
        return {};
    }
    if (errno != ENOENT)
        return "cannot use the database " + path + ": " + std::strerror(errno);
    std::string dir = parent_of(path);
    if (!is_directory(dir)) {
        if (!may_create_parents || exists(dir))
            return "cannot create the database " + path + ": " + dir + " is not a directory";
        while (!exists(dir) && dir != "/" && dir != ".")
            dir = parent_of(dir);
        if (!is_directory(dir))
            return "cannot create the database " + path + ": " + dir + " is not a directory";
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        return "cannot create the database " + path + ": " + dir + ": " + std::strerror(errno);
    return {};
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

int run_finger(const Options &o, const std::string &socket_path)
{
    std::string line;
    for (const auto &word : o.finger_words)
        line += (line.empty() ? "" : " ") + word;
    std::string error;
    const auto answer = send_finger_command(socket_path, line, error);
    if (!answer)
        return failure(error);
    const bool refused = answer->rfind("error", 0) == 0;
    if (o.json) {
        JsonObject j;
        j.add("command", "finger").add("outcome", refused ? "failed" : "success");
        j.add("exit_status", refused ? kExitFailed : kExitOk).add("line", std::string_view(line));
        j.add("answer", std::string_view(*answer));
        std::printf("%s\n", j.str().c_str());
    } else {
        std::printf("%s\n", answer->c_str());
    }
    return refused ? kExitFailed : kExitOk;
}

int run(const Options &o)
{
    const bool needs_db = o.command != Command::discover && o.command != Command::demo;

    // Everything the user typed is checked before anything is loaded or written.
    std::string db = o.db_file;
    const bool default_db = db.empty();
    if (default_db) {
        db = default_database();
        if (db.empty())
            return usage_error("no home directory for the default database; give --db FILE");
    }
    const bool memory_db = db == ":memory:";
    const std::string socket_path = !o.socket_file.empty() ? o.socket_file : memory_db ? std::string() : db + ".sock";

    if (o.command == Command::finger) {
        if (socket_path.empty())
            return usage_error("an in-memory database has no control socket next to it; give --socket PATH");
        return run_finger(o, socket_path);
    }

    KeyFilePtr user_config;
    if (!o.config_file.empty()) {
        user_config.reset(g_key_file_new());
        GError *error = nullptr;
        if (!g_key_file_load_from_file(user_config.get(), o.config_file.c_str(), G_KEY_FILE_NONE, &error)) {
            const std::string why = error != nullptr ? error->message : "unknown reason";
            if (error != nullptr)
                g_error_free(error);
            return usage_error("cannot read the configuration " + o.config_file + ": " + why);
        }
    }
    if (!o.frames_dir.empty() && !is_directory(o.frames_dir))
        return usage_error("--frames " + o.frames_dir + " is not a directory");
    if (needs_db && !memory_db) {
        if (const std::string problem = database_problem(db, default_db); !problem.empty())
            return usage_error(problem);
    }
    const Locations own = own_locations();
    const std::string module_path = !o.module_file.empty() ? o.module_file : own.module;
    if (!o.module_file.empty() && !exists(module_path))
        return usage_error("no driver module at " + module_path);

    // The driver prints to standard output on its own; only kelvractl's answer goes there.
    std::fflush(stdout);
    const int out_fd = dup(STDOUT_FILENO);
    std::FILE *out = out_fd >= 0 ? fdopen(out_fd, "w") : nullptr;
    if (out == nullptr)
        return failure("cannot duplicate standard output");
    const int sink = o.verbose ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (sink >= 0) {
        dup2(sink, STDOUT_FILENO);
        close(sink);
    }
    Printer printer(out, o.json);

    bio_log_set_threshold(o.verbose ? BIO_LOG_DEBUG : BIO_LOG_NONE);
    bio_log_set_listener(remember_log, nullptr);
    if (o.timeout_ms)
        bio_set_ops_timeout_ms(*o.timeout_ms);

    InterruptWatcher watcher;

    std::string error;
    if (!o.vendor_sdk && !load_virtual_sdk(own.virtual_sdk, error))
        return failure(error + " (with the vendor's SDK installed, give --vendor-sdk)");
    auto module = Module::load(module_path, error);
    if (!module)
        return failure(error);

    const VirtualSensor vs = VirtualSensor::find(module->path());
    const bool vs_options = o.mode || o.finger || !o.frames_dir.empty() || !o.socket_file.empty();
    if (!vs.available() && (vs_options || o.command == Command::demo)) {
        if (o.command == Command::demo)
            return failure("demo needs the virtual sensor, and the sensor library loaded is not it");
        std::fprintf(stderr, "kelvractl: the sensor library is not the virtual sensor; "
                             "--mode, --finger, --frames and --socket have no effect\n");
    }

    if (o.command == Command::demo)
        return run_demo(o, *module, vs, printer, watcher);

    std::string finger = o.finger.value_or("");
    if (finger.empty() && user_config && g_key_file_has_key(user_config.get(), "Finger", "Name", nullptr)) {
        gchar *name = g_key_file_get_string(user_config.get(), "Finger", "Name", nullptr);
        finger = name != nullptr ? name : "";
        g_free(name);
    }
    if (finger.empty())
        finger = "none";
    if (vs.available()) {
        ProfileSettings settings;
        if (o.mode)
            settings.work_mode = *o.mode == WorkMode::chip ? "chip" : "host";
        if (!memory_db && !(user_config && g_key_file_has_key(user_config.get(), "Sensor", "StateFile", nullptr)))
            settings.state_file = db + ".sensor";
        if (!o.socket_file.empty() || !(user_config && g_key_file_has_key(user_config.get(), "Sensor",
                                                                           "ControlSocket", nullptr))) {
            if (fits_socket_path(socket_path))
                settings.control_socket = socket_path;
            else if (!socket_path.empty() && o.verbose)
                std::fprintf(stderr, "kelvractl: %s is too long for a socket; no hand control\n",
                             socket_path.c_str());
        }
        settings.frame_dir = o.frames_dir;
        settings.finger = finger;
        if (vs.load_profile(sensor_profile(user_config.get(), settings), error) != 0)
            return usage_error("the virtual sensor refused its settings: " + error);
    }

    const KeyFilePtr conf = driver_configuration(user_config.get(), kDeviceName);
    Device device(*module, kDeviceName);
    if (!device.configure(conf.get(), error))
        return failure(error);
    watcher.attach(&device);
    // The watcher lets go of the device before it is freed, whichever way this returns.
    struct Detach {
        InterruptWatcher &watcher;
        ~Detach() { watcher.attach(nullptr); }
    } detach{watcher};
    if (watcher.interrupted())
        device.mark_stop_requested();
    device.set_prompt_sink([&](const Prompt &p) { printer.prompt(p); });
    if (vs.available())
        device.set_before_operation([&] { vs.finger_auto(finger); });

    const int count = device.discover();
    if (o.command == Command::discover) {
        Report r;
        r.command = "discover";
        r.devices = count > 0 ? count : 0;
        r.outcome = count > 0 ? Outcome::success : Outcome::error;
        if (count == 0)
            r.detail = "no Kelvra Dactylen sensor found";
        else if (count < 0)
            r.detail = "the sensor count failed with code " + std::to_string(count);
        printer.report(r);
        return exit_status(r.outcome);
    }
    if (count <= 0)
        return failure(count == 0 ? "no Kelvra Dactylen sensor found"
                                  : "the sensor count failed with code " + std::to_string(count));

    if (!memory_db && default_db && !make_directories(parent_of(db)))
        return failure("cannot create " + parent_of(db) + ": " + std::strerror(errno));
    if (bio_sto_set_db_path(db.c_str()) != 0) {
        std::lock_guard<std::mutex> guard(g_log.lock);
        return failure("cannot open the database " + db +
                       (g_log.last_error.empty() ? std::string() : ": " + g_log.last_error));
    }

    if (!o.json) {
        switch (o.command) {
        case Command::enroll: printer.note("Enrolling finger " + std::to_string(*o.index) + " of user " +
                                           std::to_string(*o.uid) + "; press the finger six times."); break;
        case Command::verify:
        case Command::identify:
        case Command::search: printer.note("Place your finger on the sensor."); break;
        default: break;
        }
    }

    Report report;
    switch (o.command) {
    case Command::enroll: report = device.enroll(*o.uid, *o.index, *o.name); break;
    case Command::verify: report = device.verify(*o.uid, *o.index); break;
    case Command::identify: report = device.identify(*o.uid, o.from, o.to); break;
    case Command::search: report = device.search(*o.uid, o.from, o.to); break;
    case Command::list: report = device.list(*o.uid, o.from, o.to); break;
    case Command::clean: report = device.clean(*o.uid, o.from, o.to); break;
    default: break;
    }
    if (report.outcome == Outcome::error || report.outcome == Outcome::failed) {
        std::lock_guard<std::mutex> guard(g_log.lock);
        if (report.detail.empty())
            report.detail = g_log.last_error;
    }
    printer.report(report);
    return exit_status(report.outcome);
}

}  // namespace

int main(int argc, char **argv)
{
    std::setlocale(LC_ALL, "");
    std::vector<std::string_view> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    const ParseResult parsed = parse_args(args);
    switch (parsed.status) {
    case ParseResult::Status::error:
        return usage_error(parsed.error);
    case ParseResult::Status::help:
        std::fputs(usage_text(parsed.help_for).c_str(), stdout);
        return kExitOk;
    case ParseResult::Status::ok:
        break;
    }
    return run(parsed.options);
}
