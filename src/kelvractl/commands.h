// commands.h - kelvractl's commands and options: the one table that parsing, help, dispatch, the JSON
// output and the fuzz dictionary read. A new command is a row of kCommands and its handler.
//
// Nothing here touches the system, so other tools (a man page generator, the fuzzer) can walk the
// table: commands() and options() list every row with its texts (English; tr() translates them).
#ifndef KELVRACTL_COMMANDS_H
#define KELVRACTL_COMMANDS_H

#include <span>
#include <string>
#include <string_view>

namespace kelvractl {

class Backend;
struct Options;

enum class Command { discover, enroll, verify, identify, search, list, clean, demo, finger, replay, trace, help };

enum class Opt { config, db, module, vendor_sdk, record, replay, as_recorded, frames, socket, timeout, json, verbose, mode, finger, help, uid, index, name, from, to, replace };

enum class ValueKind {
    flag,         // no value
    path,         // a non-empty path
    number,       // a whole number within the range of its use
    work_mode,    // host or chip
    finger_name,  // one printable word
    text          // 1 to kMaxNameBytes bytes without control characters
};

// Where an option's default comes from when it is not given.
enum class DefaultOf { none, fixed, timeout, database, module, socket };

struct Range {
    long long min;
    long long max;
};

struct OptionRow {
    Opt id;
    const char *name;          // "--uid"
    const char *alias;         // "-v", or nullptr
    const char *value;         // the value's placeholder in usage texts ("N"); nullptr for a flag
    ValueKind kind;
    bool global;               // taken anywhere on the line, by every command
    const char *help;          // what it does (English; tr() translates)
    DefaultOf default_of;
    const char *default_text;  // the default when default_of is fixed (English)
    Range range;               // a global number: the values it takes
};

// An option of one command: whether it must be given and, for a number, the range it takes.
struct OptionUse {
    Opt opt;
    bool required;
    Range range;
    const char *help = nullptr;  // what the option means to this command, when the table's text is not it
};

// What a command's words after its name are: none, a command name (help), a hand-control verb of
// the virtual sensor with its finger (finger), one trace file (replay), or a trace verb with its files
// (trace).
enum class Operands { none, topic, hand_verb, trace_file, trace_verb };

// What has to be in place before the handler runs.
enum class Needs {
    nothing,         // no driver, no database
    driver,          // the driver module loaded, no device
    sensor,          // the driver and a configured device, no database
    database_read,   // and the feature database, read
    database_write   // and the feature database, written
};

using Handler = int (*)(Backend &backend, const Options &options);

struct CommandRow {
    Command id;
    const char *name;
    Operands operands;
    const char *summary;                   // one line for the general help (English)
    const char *description;               // the command's own help, lines ending in \n (English)
    std::span<const OptionUse> options;    // its own options; the global ones come on top
    std::span<const char *const> json;     // the members of its --json object besides command,
                                           // outcome, exit_status and error
    Needs needs;
    Handler handler;
};

std::span<const CommandRow> commands();
std::span<const OptionRow> options();
const CommandRow &row_of(Command command);
const OptionRow &row_of(Opt option);
const CommandRow *find_command(std::string_view name);
// By its name or alias, without a value ("--uid", "-v").
const OptionRow *find_option(std::string_view word);
// The use of option by command, or nullptr when the command does not take it (global options have
// none).
const OptionUse *use_of(const CommandRow &command, Opt option);

// The highest finger index a record may carry: 255 addresses every finger on the sensor.
inline constexpr int kMaxFingerIndex = 254;
inline constexpr int kMaxNameBytes = 255;
inline constexpr int kMaxFingerNameBytes = 63;
inline constexpr int kMaxTimeoutMs = 24 * 60 * 60 * 1000;

}  // namespace kelvractl

#endif
