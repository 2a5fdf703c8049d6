// args.h - kelvractl's command line: what the user asked for, parsed from the command table without
// touching the system, and the help texts made from the same table.
#ifndef KELVRACTL_ARGS_H
#define KELVRACTL_ARGS_H

#include "commands.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvractl {

enum class WorkMode { host, chip };

struct Options {
    Command command = Command::help;
    std::optional<Command> help_topic;  // help: the command asked about (none: kelvractl itself)

    // Global options; empty / unset means "use the default".
    std::string config_file;
    std::string db_file;
    std::string module_file;
    std::string frames_dir;
    std::string socket_file;
    std::optional<int> timeout_ms;
    bool json = false;
    bool verbose = false;
    bool vendor_sdk = false;            // the module's SDK from its run path, not the virtual sensor
    std::string record_file;            // --record: the trace to write
    std::string replay_file;            // --replay, or replay's operand: the trace to answer from
    bool as_recorded = false;           // replay each call at its recorded moment
    std::optional<WorkMode> mode;
    std::optional<std::string> finger;  // "none" removes the virtual finger

    // Command options.
    std::optional<int> uid;
    std::optional<int> index;
    std::optional<std::string> name;
    int from = 0;
    int to = -1;                        // -1: no upper bound
    bool replace = false;
    std::vector<std::string> finger_words;  // finger: the hand-control verb and its finger
    // The words of the command line without --record and its trace: what a replay runs again.
    std::vector<std::string> words;
    std::vector<std::string> trace_words;   // trace: show FILE, or redact IN OUT
};

struct ParseResult {
    bool ok = false;
    Options options;    // ok: what to run (help is a command like the others)
    std::string error;  // not ok: one line, translated, without a trailing newline
    bool json = false;  // not ok: --json was on the line, so the error goes out as JSON too
    const char *command = nullptr;  // not ok: the command the line named before the error, if any
};

// args excludes the program name. Pure: reads nothing but its argument and the tables.
ParseResult parse_args(std::span<const std::string_view> args);

// The defaults that only the running program knows, shown in the help.
struct Defaults {
    std::string timeout_ms;
    std::string database;  // "" shows where it is looked for ($XDG_DATA_HOME/...)
    std::string module;
};

// The usage line of a command, from the table: "kelvractl enroll --uid U --name TEXT [--index I] ...".
std::string synopsis(const CommandRow &command);
// Help of one command, or of kelvractl when command is nullopt; translated.
std::string usage_text(std::optional<Command> command, const Defaults &defaults);

// Pieces of the help texts, which the man page is made of too (translated).
std::string purpose_text();  // what kelvractl does, one sentence
// An option's help with its range (for a number) and its default: "user id (0 to 2147483647)".
std::string option_help(const OptionRow &row, const Range *range, const char *help, const Defaults &defaults);
// What the command's --json object holds; "" for a command without one.
std::string json_note(const CommandRow &command);
// The hand-control verbs of finger: "press NAME | lift | ...".
std::string hand_verbs();

// Columns a terminal gives UTF-8 text: Chinese, Japanese and Korean characters take two.
std::size_t display_width(std::string_view text);
// text broken into lines of at most 100 columns, the later ones indented by indent: at spaces, and
// between two characters of Chinese text (never before its closing punctuation).
std::string wrap_help(std::string_view text, std::size_t indent);

struct ExitStatusRow {
    int status;
    const char *meaning;  // English; tr() translates
};
std::span<const ExitStatusRow> exit_statuses();

enum class NumberError { none, not_a_number, out_of_range };
// A decimal int with nothing before or after it.
std::optional<int> parse_int(std::string_view text, NumberError *why = nullptr);

}  // namespace kelvractl

#endif
