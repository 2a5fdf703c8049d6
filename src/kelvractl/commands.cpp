// commands.cpp - the rows of kelvractl's command and option tables.
#include "commands.h"

#include "handlers.h"
#include "i18n.h"
#include "trace_commands.h"

#include <climits>

namespace kelvractl {

namespace {

constexpr OptionRow kOptions[] = {
    {Opt::config, "--config", nullptr, "FILE", ValueKind::path, true,
     N_("key file with the device group [kelvra-dactylen]: Enable (default true; false leaves the device "
        "unused), SecurityLevel (default 5) and ImageQuality (default 50), integers the driver reads but "
        "does not match or grade by in this version; and, for the virtual sensor, its [Sensor] and [Finger] "
        "groups"),
     DefaultOf::none, nullptr, {}},
    {Opt::db, "--db", nullptr, "FILE", ValueKind::path, true, N_("feature database"), DefaultOf::database, nullptr, {}},
    {Opt::timeout, "--timeout-ms", nullptr, "N", ValueKind::number, true,
     N_("how long an operation waits for the finger, in milliseconds"), DefaultOf::timeout, nullptr,
     {1, kMaxTimeoutMs}},
    {Opt::json, "--json", nullptr, nullptr, ValueKind::flag, true,
     N_("print one JSON object with the outcome instead of words (a usage error too; help stays text)"),
     DefaultOf::none, nullptr, {}},
    {Opt::module, "--module", nullptr, "PATH", ValueKind::path, true, N_("the driver module to load"),
     DefaultOf::module, nullptr, {}},
    {Opt::vendor_sdk, "--vendor-sdk", nullptr, nullptr, ValueKind::flag, true,
     N_("use the vendor's libKelDactylen.so, which the module finds in its driver directory, instead of the "
        "virtual sensor installed with kelvractl"),
     DefaultOf::none, nullptr, {}},
    {Opt::record, "--record", nullptr, "FILE", ValueKind::path, true,
     N_("record every call the driver makes to the sensor SDK into the trace FILE (created, mode 0600; it "
        "holds fingerprint images), with the command, the database before and the host journal after"),
     DefaultOf::none, nullptr, {}},
    {Opt::replay, "--replay", nullptr, "FILE", ValueKind::path, true,
     N_("run the command on the virtual sensor answering from the trace FILE, on a copy of the database "
        "recorded in it, and compare the host journal with the recorded one"),
     DefaultOf::none, nullptr, {}},
    {Opt::as_recorded, "--as-recorded", nullptr, nullptr, ValueKind::flag, true,
     N_("replay: answer each call at the moment it was recorded, as a session that ran into its time-out "
        "needs, instead of at once"),
     DefaultOf::none, nullptr, {}},
    {Opt::mode, "--mode", nullptr, "host|chip", ValueKind::work_mode, true,
     N_("virtual sensor: match on the host or on the chip"), DefaultOf::fixed, "host", {}},
    {Opt::finger, "--finger", nullptr, "NAME", ValueKind::finger_name, true,
     N_("virtual sensor: a finger that presses and lifts on its own (none: no finger)"), DefaultOf::fixed, "none", {}},
    {Opt::frames, "--frames", nullptr, "DIR", ValueKind::path, true,
     N_("virtual sensor: write every frame it renders into DIR as PGM"), DefaultOf::none, nullptr, {}},
    {Opt::socket, "--socket", nullptr, "PATH", ValueKind::path, true, N_("virtual sensor: its control socket"),
     DefaultOf::socket, nullptr, {}},
    {Opt::verbose, "--verbose", "-v", nullptr, ValueKind::flag, true, N_("show the driver's and the host's log lines"),
     DefaultOf::none, nullptr, {}},
    {Opt::help, "--help", "-h", nullptr, ValueKind::flag, true, N_("this text, or a command's"), DefaultOf::none,
     nullptr, {}},
    {Opt::uid, "--uid", nullptr, "U", ValueKind::number, false, N_("user id"), DefaultOf::none, nullptr, {}},
    {Opt::index, "--index", nullptr, "I", ValueKind::number, false, N_("finger index"), DefaultOf::none, nullptr, {}},
    {Opt::name, "--name", nullptr, "TEXT", ValueKind::text, false, N_("name of the finger"), DefaultOf::none,
     nullptr, {}},
    {Opt::from, "--from", nullptr, "A", ValueKind::number, false, N_("lowest finger index"), DefaultOf::fixed, "0", {}},
    {Opt::to, "--to", nullptr, "B", ValueKind::number, false, N_("highest finger index (-1: no upper bound)"),
     DefaultOf::fixed, "-1", {}},
    {Opt::replace, "--replace", nullptr, nullptr, ValueKind::flag, false,
     N_("delete the finger enrolled at that index first"), DefaultOf::none, nullptr, {}},
};

constexpr Range kAnyUser{-1, INT_MAX};
constexpr Range kOneUser{0, INT_MAX};
constexpr Range kFingerIndex{0, kMaxFingerIndex};
constexpr Range kRangeStart{0, kMaxFingerIndex};
constexpr Range kRangeEnd{-1, kMaxFingerIndex};
constexpr Range kNoRange{};

constexpr OptionUse kEnrollOptions[] = {{Opt::uid, true, kOneUser},
                                        {Opt::index, false, kFingerIndex, N_("finger index; without it, the lowest free one")},
                                        {Opt::name, true, kNoRange},
                                        {Opt::replace, false, kNoRange}};
constexpr OptionUse kVerifyOptions[] = {{Opt::uid, true, kOneUser}, {Opt::index, true, kFingerIndex}};
constexpr OptionUse kRangeOptions[] = {{Opt::uid, true, kAnyUser, N_("user id (-1: every user)")},
                                       {Opt::from, false, kRangeStart},
                                       {Opt::to, false, kRangeEnd}};

// Every operation on the device reports what the driver set and said.
#define KELVRACTL_DRIVER_FIELDS "result", "notify", "status", "notifies", "messages", "owner_pid"
constexpr const char *kDiscoverJson[] = {KELVRACTL_DRIVER_FIELDS, "devices"};
constexpr const char *kEnrollJson[] = {KELVRACTL_DRIVER_FIELDS, "uid", "index", "presses", "replaced"};
constexpr const char *kMatchJson[] = {KELVRACTL_DRIVER_FIELDS, "uid"};
constexpr const char *kRecordsJson[] = {KELVRACTL_DRIVER_FIELDS, "records"};
constexpr const char *kCleanJson[] = {KELVRACTL_DRIVER_FIELDS};
constexpr const char *kDemoJson[] = {"passed", "steps_run", "steps"};
constexpr const char *kFingerJson[] = {"line", "answer"};
constexpr const char *kReplayJson[] = {"calls", "journal_matches", "divergence", "journal_difference"};
#undef KELVRACTL_DRIVER_FIELDS

constexpr CommandRow kCommands[] = {
    {Command::discover, "discover", Operands::none, N_("count the attached sensors"),
     N_("Counts the attached sensors.\n"), {}, kDiscoverJson, Needs::sensor, run_discover},
    {Command::enroll, "enroll", Operands::none, N_("enroll a finger"),
     N_("Enrolls a finger of user U with six presses, as finger I (0-254) or, without --index, at the\n"
        "user's lowest free index. An index that holds a finger already is refused unless --replace\n"
        "is given, which deletes that finger first.\n"),
     kEnrollOptions, kEnrollJson, Needs::database_write, run_enroll},
    {Command::verify, "verify", Operands::none, N_("check a finger against one enrolled finger"),
     N_("Checks the finger on the sensor against finger I of user U.\n"
        "Exit status 0 on a match, 1 on no match or when that index holds no finger.\n"),
     kVerifyOptions, kMatchJson, Needs::database_read, run_verify},
    {Command::identify, "identify", Operands::none, N_("find whose finger it is"),
     N_("Finds whose finger is on the sensor among the fingers of user U (-1: every user) with an\n"
        "index from A to B.\n"),
     kRangeOptions, kMatchJson, Needs::database_read, run_identify},
    {Command::search, "search", Operands::none, N_("list the enrolled fingers that match"),
     N_("Lists the enrolled fingers that match the finger on the sensor.\n"), kRangeOptions, kRecordsJson,
     Needs::database_read, run_search},
    {Command::list, "list", Operands::none, N_("list enrolled fingers"), N_("Lists the enrolled fingers.\n"),
     kRangeOptions, kRecordsJson, Needs::database_read, run_list},
    {Command::clean, "clean", Operands::none, N_("delete enrolled fingers"),
     N_("Deletes the enrolled fingers (on the sensor too in match-on-chip mode).\n"), kRangeOptions, kCleanJson,
     Needs::database_write, run_clean},
    {Command::demo, "demo", Operands::none, N_("guided tour on the virtual sensor"),
     N_("A guided tour on a temporary database and virtual sensor, in both work modes.\n"), {}, kDemoJson,
     Needs::driver, run_demo},
    {Command::finger, "finger", Operands::hand_verb, N_("play the virtual finger by hand"),
     N_("Plays the virtual finger by hand while another kelvractl waits for it.\n"), {}, kFingerJson,
     Needs::nothing, run_finger},
    {Command::replay, "replay", Operands::trace_file, N_("rerun a recorded session and compare it"),
     N_("Reruns the command a trace FILE was recorded with (kelvractl --record FILE ...) on the virtual\n"
        "sensor answering from the trace, on a temporary copy of the database recorded in it (yours is\n"
        "not touched), and compares the host journal with the recorded one. Exit status 0 only when\n"
        "the driver made every recorded call and the journal is identical.\n"),
     {}, kReplayJson, Needs::nothing, run_replay},
    {Command::trace, "trace", Operands::trace_verb, N_("show, redact or look at a recorded sensor session"),
     N_("show FILE prints the trace's header and one line per SDK call, stop request and host section.\n"
        "redact IN OUT writes a copy of IN for sharing: frames and feature blocks become their sizes and\n"
        "the host's sections are emptied; such a copy can be shown, not replayed. OUT is created with\n"
        "mode 0600 and is never written over. A trace holds fingerprint images: share only redacted ones.\n"
        "frames IN DIR creates the folder DIR (mode 0700) with every frame IN captured as a grey PNG\n"
        "image and the table frames.tsv: frame, call number, time, size and the SDK's grade of the frame\n"
        "where the trace shows it. A redacted trace holds no frames.\n"),
     {}, {}, Needs::nothing, run_trace},
    {Command::help, "help", Operands::topic, N_("this text, or a command's"),
     N_("Describes kelvractl, or one of its commands.\n"), {}, {}, Needs::nothing, run_help},
};

}  // namespace

std::span<const CommandRow> commands() { return kCommands; }
std::span<const OptionRow> options() { return kOptions; }

const CommandRow &row_of(Command command)
{
    for (const CommandRow &c : kCommands)
        if (c.id == command)
            return c;
    return kCommands[0];
}

const OptionRow &row_of(Opt option)
{
    for (const OptionRow &o : kOptions)
        if (o.id == option)
            return o;
    return kOptions[0];
}

const CommandRow *find_command(std::string_view name)
{
    for (const CommandRow &c : kCommands)
        if (name == c.name)
            return &c;
    return nullptr;
}

const OptionRow *find_option(std::string_view word)
{
    for (const OptionRow &o : kOptions)
        if (word == o.name || (o.alias != nullptr && word == o.alias))
            return &o;
    return nullptr;
}

const OptionUse *use_of(const CommandRow &command, Opt option)
{
    for (const OptionUse &use : command.options)
        if (use.opt == option)
            return &use;
    return nullptr;
}

}  // namespace kelvractl
