// args.cpp - kelvractl's command-line parser and help texts.
#include "args.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace kelvractl {

namespace {

struct CommandInfo {
    Command command;
    std::string_view name;
};

constexpr CommandInfo kCommands[] = {
    {Command::discover, "discover"}, {Command::enroll, "enroll"}, {Command::verify, "verify"},
    {Command::identify, "identify"}, {Command::search, "search"}, {Command::list, "list"},
    {Command::clean, "clean"},       {Command::demo, "demo"},     {Command::finger, "finger"},
};

std::optional<Command> command_of(std::string_view word)
{
    for (const auto &info : kCommands)
        if (info.name == word)
            return info.command;
    return std::nullopt;
}

enum class Opt { config, db, module, vendor_sdk, frames, socket, timeout, json, verbose, mode, finger, uid, index, name, from, to, help };

struct OptionInfo {
    Opt opt;
    std::string_view name;
    bool takes_value;
};

constexpr OptionInfo kOptions[] = {
    {Opt::config, "--config", true},  {Opt::db, "--db", true},         {Opt::module, "--module", true},
    {Opt::vendor_sdk, "--vendor-sdk", false},
    {Opt::frames, "--frames", true},  {Opt::socket, "--socket", true}, {Opt::timeout, "--timeout-ms", true},
    {Opt::json, "--json", false},     {Opt::verbose, "--verbose", false}, {Opt::verbose, "-v", false},
    {Opt::mode, "--mode", true},      {Opt::finger, "--finger", true}, {Opt::uid, "--uid", true},
    {Opt::index, "--index", true},    {Opt::name, "--name", true},     {Opt::from, "--from", true},
    {Opt::to, "--to", true},          {Opt::help, "--help", false},    {Opt::help, "-h", false},
};

const OptionInfo *option_of(std::string_view word)
{
    for (const auto &info : kOptions)
        if (info.name == word)
            return &info;
    return nullptr;
}

bool command_takes(Command command, Opt opt)
{
    switch (opt) {
    case Opt::uid:
        return command == Command::enroll || command == Command::verify || command == Command::identify ||
               command == Command::search || command == Command::list || command == Command::clean;
    case Opt::index:
        return command == Command::enroll || command == Command::verify;
    case Opt::name:
        return command == Command::enroll;
    case Opt::from:
    case Opt::to:
        return command == Command::identify || command == Command::search || command == Command::list ||
               command == Command::clean;
    default:
        return true;
    }
}

bool has_control_char(std::string_view text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return true;
    return false;
}

// Names end up in a key file and on a control-socket line, so they are single printable words.
bool valid_finger_name(std::string_view name)
{
    if (name.empty() || name.size() > 63)
        return false;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f || c == '[' || c == ']' || c == '=' || c == '#')
            return false;
    }
    return true;
}

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

ParseResult fail(std::string message)
{
    ParseResult r;
    r.status = ParseResult::Status::error;
    r.error = std::move(message);
    return r;
}

std::optional<std::string> check_finger_words(const std::vector<std::string> &words)
{
    if (words.empty())
        return "finger needs a command: press NAME, smear NAME, partial NAME, auto NAME, lift, unplug, replug or state";
    const std::string &verb = words[0];
    const bool named = verb == "press" || verb == "smear" || verb == "partial" || verb == "auto";
    const bool bare = verb == "lift" || verb == "unplug" || verb == "replug" || verb == "state";
    if (!named && !bare)
        return "unknown finger command " + quoted(verb) + " (press, smear, partial, auto, lift, unplug, replug, state)";
    if (named && words.size() != 2)
        return "finger " + verb + " needs exactly one finger name";
    if (bare && words.size() != 1)
        return "finger " + verb + " takes no further word";
    if (named && !valid_finger_name(words[1]))
        return "invalid finger name " + quoted(words[1]);
    return std::nullopt;
}

}  // namespace

std::optional<int> parse_int(std::string_view text)
{
    // strtol skips leading blanks and needs a terminated string: both are handled here first.
    if (text.empty() || text.size() > 32)
        return std::nullopt;
    const char first = text.front();
    if (!(first == '-' || first == '+' || (first >= '0' && first <= '9')))
        return std::nullopt;
    const std::string copy(text);
    errno = 0;
    char *end = nullptr;
    const long value = std::strtol(copy.c_str(), &end, 10);
    if (errno == ERANGE || end == copy.c_str() || *end != '\0')
        return std::nullopt;
    if (value < INT_MIN || value > INT_MAX)
        return std::nullopt;
    return static_cast<int>(value);
}

std::string_view command_name(Command command)
{
    for (const auto &info : kCommands)
        if (info.command == command)
            return info.name;
    return "";
}

ParseResult parse_args(std::span<const std::string_view> args)
{
    Options o;
    bool help = false;
    std::vector<std::pair<Opt, std::string_view>> command_options;  // checked once the command is known

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view word = args[i];

        if (word.size() > 1 && word.front() == '-') {
            std::string_view value;
            bool inline_value = false;
            if (const auto eq = word.find('='); eq != std::string_view::npos && word.starts_with("--")) {
                value = word.substr(eq + 1);
                word = word.substr(0, eq);
                inline_value = true;
            }
            const OptionInfo *info = option_of(word);
            if (info == nullptr)
                return fail("unknown option " + quoted(word));
            if (info->takes_value && !inline_value) {
                if (i + 1 >= args.size())
                    return fail(std::string(word) + " needs a value");
                value = args[++i];
            } else if (!info->takes_value && inline_value) {
                return fail(std::string(word) + " takes no value");
            }

            switch (info->opt) {
            case Opt::help: help = true; break;
            case Opt::json: o.json = true; break;
            case Opt::verbose: o.verbose = true; break;
            case Opt::vendor_sdk: o.vendor_sdk = true; break;
            case Opt::config:
            case Opt::db:
            case Opt::module:
            case Opt::frames:
            case Opt::socket: {
                if (value.empty())
                    return fail(std::string(word) + " needs a non-empty path");
                if (value.find('\0') != std::string_view::npos)
                    return fail(std::string(word) + ": the path holds a NUL byte");
                std::string &target = info->opt == Opt::config ? o.config_file
                                      : info->opt == Opt::db   ? o.db_file
                                      : info->opt == Opt::module ? o.module_file
                                      : info->opt == Opt::frames ? o.frames_dir
                                                                 : o.socket_file;
                target = std::string(value);
                break;
            }
            case Opt::timeout: {
                const auto n = parse_int(value);
                if (!n || *n <= 0 || *n > kMaxTimeoutMs)
                    return fail("--timeout-ms needs a whole number of milliseconds from 1 to " +
                                std::to_string(kMaxTimeoutMs) + ", not " + quoted(value));
                o.timeout_ms = *n;
                break;
            }
            case Opt::mode:
                if (value == "host")
                    o.mode = WorkMode::host;
                else if (value == "chip")
                    o.mode = WorkMode::chip;
                else
                    return fail("--mode is host or chip, not " + quoted(value));
                break;
            case Opt::finger:
                if (!valid_finger_name(value))
                    return fail("--finger needs a finger name (one word) or none, not " + quoted(value));
                o.finger = std::string(value);
                break;
            case Opt::uid:
            case Opt::index:
            case Opt::name:
            case Opt::from:
            case Opt::to:
                command_options.emplace_back(info->opt, value);
                break;
            }
            continue;
        }

        if (o.command == Command::none) {
            if (word == "help") {
                help = true;
                if (i + 1 < args.size()) {
                    const auto topic = command_of(args[i + 1]);
                    if (!topic)
                        return fail("no help for unknown command " + quoted(args[i + 1]));
                    o.command = *topic;
                    ++i;
                }
                continue;
            }
            const auto command = command_of(word);
            if (!command)
                return fail("unknown command " + quoted(word) + "; see kelvractl --help");
            o.command = *command;
            continue;
        }
        if (o.command == Command::finger) {
            o.finger_words.emplace_back(word);
            continue;
        }
        return fail("unexpected argument " + quoted(word) + " for " + std::string(command_name(o.command)));
    }

    if (help) {
        ParseResult r;
        r.status = ParseResult::Status::help;
        r.help_for = o.command;
        r.options = std::move(o);
        return r;
    }
    if (o.command == Command::none)
        return fail("no command given; see kelvractl --help");

    const std::string cmd(command_name(o.command));
    for (const auto &[opt, value] : command_options) {
        const OptionInfo *info = nullptr;
        for (const auto &candidate : kOptions)
            if (candidate.opt == opt)
                info = &candidate;
        const std::string opt_name(info->name);
        if (!command_takes(o.command, opt))
            return fail(opt_name + " is not an option of " + cmd);
        if (opt == Opt::name) {
            if (value.empty() || value.size() > static_cast<std::size_t>(kMaxNameBytes) || has_control_char(value))
                return fail("--name needs a text of 1 to " + std::to_string(kMaxNameBytes) +
                            " bytes without control characters");
            o.name = std::string(value);
            continue;
        }
        const auto n = parse_int(value);
        if (!n)
            return fail(opt_name + " needs a whole number, not " + quoted(value));
        switch (opt) {
        case Opt::uid: {
            const bool any_user_allowed = o.command != Command::enroll && o.command != Command::verify;
            if (*n < (any_user_allowed ? -1 : 0))
                return fail(any_user_allowed ? "--uid is a user id of 0 or more, or -1 for every user"
                                             : "--uid is a user id of 0 or more");
            o.uid = *n;
            break;
        }
        case Opt::index:
            if (*n < 0 || *n > kMaxFingerIndex)
                return fail("--index is a finger index from 0 to " + std::to_string(kMaxFingerIndex));
            o.index = *n;
            break;
        case Opt::from:
            if (*n < 0)
                return fail("--from is an index of 0 or more");
            o.from = *n;
            break;
        case Opt::to:
            if (*n < -1)
                return fail("--to is an index of 0 or more, or -1 for no upper bound");
            o.to = *n;
            break;
        default:
            break;
        }
    }

    switch (o.command) {
    case Command::enroll:
        if (!o.uid || !o.index || !o.name)
            return fail("enroll needs --uid, --index and --name");
        break;
    case Command::verify:
        if (!o.uid || !o.index)
            return fail("verify needs --uid and --index");
        break;
    case Command::identify:
    case Command::search:
    case Command::list:
    case Command::clean:
        if (!o.uid)
            return fail(cmd + " needs --uid (-1: every user)");
        if (o.to != -1 && o.to < o.from)
            return fail("--to " + std::to_string(o.to) + " lies below --from " + std::to_string(o.from));
        break;
    case Command::finger:
        if (auto problem = check_finger_words(o.finger_words))
            return fail(*problem);
        break;
    default:
        break;
    }

    ParseResult r;
    r.status = ParseResult::Status::ok;
    r.options = std::move(o);
    return r;
}

namespace {

std::string command_usage(Command command)
{
    static constexpr std::string_view globals =
        "Global options (anywhere on the line):\n"
        "  --config FILE     key file with the device group [kelvra-dactylen] (and, for the virtual\n"
        "                    sensor, its [Sensor] and [Finger] groups)\n"
        "  --db FILE         feature database (default $XDG_DATA_HOME/kelvractl/features.db)\n"
        "  --timeout-ms N    how long an operation waits for the finger\n"
        "  --json            print one JSON object with the outcome instead of words\n"
        "  --module PATH     the driver module to load (default: the one installed with kelvractl,\n"
        "                    or the build tree's)\n"
        "  --vendor-sdk      use the vendor's libKelDactylen.so, which the module finds in the driver\n"
        "                    directory, instead of the virtual sensor installed with kelvractl\n"
        "  --mode host|chip  virtual sensor: match on the host or on the chip\n"
        "  --finger NAME     virtual sensor: a finger that presses and lifts on its own (none: no finger)\n"
        "  --frames DIR      virtual sensor: write every frame it renders into DIR as PGM\n"
        "  --socket PATH     virtual sensor control socket (default: next to the database)\n"
        "  -v, --verbose     show the driver's and the host's log lines\n";

    switch (command) {
    case Command::discover:
        return "Usage: kelvractl discover\n  Counts the attached sensors.\n";
    case Command::enroll:
        return "Usage: kelvractl enroll --uid U --index I --name TEXT\n"
               "  Enrolls a finger of user U as finger I (0-254) with six presses.\n";
    case Command::verify:
        return "Usage: kelvractl verify --uid U --index I\n"
               "  Checks the finger on the sensor against finger I of user U.\n"
               "  Exit status 0 on a match, 1 on no match.\n";
    case Command::identify:
        return "Usage: kelvractl identify --uid U [--from A --to B]\n"
               "  Finds whose finger is on the sensor among the fingers of user U (-1: every user)\n"
               "  with an index from A (default 0) to B (default -1: no upper bound).\n";
    case Command::search:
        return "Usage: kelvractl search --uid U [--from A --to B]\n"
               "  Lists the stored fingers that match the finger on the sensor.\n";
    case Command::list:
        return "Usage: kelvractl list --uid U [--from A --to B]\n  Lists the enrolled fingers.\n";
    case Command::clean:
        return "Usage: kelvractl clean --uid U [--from A --to B]\n"
               "  Deletes the enrolled fingers (on the sensor too in match-on-chip mode).\n";
    case Command::demo:
        return "Usage: kelvractl demo\n"
               "  A guided tour on a temporary database and virtual sensor, in both work modes.\n";
    case Command::finger:
        return "Usage: kelvractl finger press NAME | smear NAME | partial NAME | auto NAME | lift | unplug |\n"
               "                       replug | state\n"
               "  Plays the virtual finger by hand while another kelvractl waits for it.\n";
    case Command::none:
        break;
    }
    return "Usage: kelvractl [global options] COMMAND [options]\n"
           "Runs the Kelvra Dactylen fingerprint driver the way a biometric host does.\n\n"
           "Commands:\n"
           "  discover                                   count the attached sensors\n"
           "  enroll --uid U --index I --name TEXT       enroll a finger\n"
           "  verify --uid U --index I                   check a finger against one enrolled finger\n"
           "  identify --uid U [--from A --to B]         find whose finger it is\n"
           "  search --uid U [--from A --to B]           list the enrolled fingers that match\n"
           "  list --uid U [--from A --to B]             list enrolled fingers\n"
           "  clean --uid U [--from A --to B]            delete enrolled fingers\n"
           "  demo                                       guided tour on the virtual sensor\n"
           "  finger press NAME | lift | ...             play the virtual finger by hand\n"
           "  help [COMMAND]                             this text, or a command's\n\n" +
           std::string(globals) +
           "\nExit status: 0 success or match, 1 no match, 2 bad usage, 3 the operation failed.\n";
}

}  // namespace

std::string usage_text(Command command)
{
    if (command != Command::none)
        return command_usage(command) + "\nSee kelvractl --help for the global options.\n";
    return command_usage(command);
}

}  // namespace kelvractl
