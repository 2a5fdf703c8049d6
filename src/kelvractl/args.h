// args.h - kelvractl's command line: what the user asked for, parsed without touching the system.
#ifndef KELVRACTL_ARGS_H
#define KELVRACTL_ARGS_H

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvractl {

enum class Command { none, discover, enroll, verify, identify, search, list, clean, demo, finger };

enum class WorkMode { host, chip };

struct Options {
    Command command = Command::none;

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
    std::optional<WorkMode> mode;
    std::optional<std::string> finger;  // "none" removes the virtual finger

    // Command arguments.
    std::optional<int> uid;
    std::optional<int> index;
    std::optional<std::string> name;
    int from = 0;
    int to = -1;                        // -1: no upper bound
    std::vector<std::string> finger_words;  // finger: the hand-control command, e.g. {"press", "alice"}
};

struct ParseResult {
    enum class Status { ok, help, error } status = Status::error;
    Options options;
    std::string error;                 // status error: one line, without a trailing newline
    Command help_for = Command::none;  // status help: the command whose help was asked (none: general)
};

// args excludes the program name. Pure: reads nothing but its argument.
ParseResult parse_args(std::span<const std::string_view> args);

// Usage text of one command (Command::none: the general help).
std::string usage_text(Command command);

std::string_view command_name(Command command);

// Decimal int with nothing before or after it; nullopt on anything else or out of the int range.
std::optional<int> parse_int(std::string_view text);

// The highest finger index a record may carry: 255 addresses every finger on the sensor.
inline constexpr int kMaxFingerIndex = 254;
inline constexpr int kMaxNameBytes = 255;
inline constexpr int kMaxTimeoutMs = 24 * 60 * 60 * 1000;

}  // namespace kelvractl

#endif
