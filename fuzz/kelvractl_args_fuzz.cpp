// kelvractl_args_fuzz.cpp - kelvractl's argument parser on any command line.
//
// The input is split on NUL and newline bytes into the words after the program name. The parser must
// come back with a command it can run, a help request, or a one-line usage error, and whatever it accepts
// must stay inside the ranges the commands are documented with.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "args.h"

namespace {

using kelvractl::Command;
using kelvractl::ParseResult;

[[noreturn]] void finding(const char *what)
{
    std::fprintf(stderr, "FINDING: %s\n", what);
    std::abort();
}

void expect(bool holds, const char *what)
{
    if (!holds)
        finding(what);
}

bool printable_word(const std::string &word, size_t max)
{
    if (word.empty() || word.size() > max)
        return false;
    for (const char c : word) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f || c == '[' || c == ']' || c == '=' || c == '#')
            return false;
    }
    return true;
}

bool no_control(const std::string &text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    return true;
}

bool is_command(Command c) { return c != Command::none && !kelvractl::command_name(c).empty(); }

void check_ok(const kelvractl::Options &o)
{
    expect(is_command(o.command), "accepted without a command");
    if (o.timeout_ms)
        expect(*o.timeout_ms >= 1 && *o.timeout_ms <= kelvractl::kMaxTimeoutMs, "time-out out of range");
    if (o.finger)
        expect(printable_word(*o.finger, 63), "--finger accepted a name that is not one word");
    for (const std::string *path : {&o.config_file, &o.db_file, &o.module_file, &o.frames_dir, &o.socket_file})
        expect(path->find('\0') == std::string::npos, "a path with a NUL byte");

    switch (o.command) {
    case Command::enroll:
        expect(o.name && !o.name->empty() && o.name->size() <= size_t(kelvractl::kMaxNameBytes) && no_control(*o.name),
               "enroll accepted without a usable --name");
        [[fallthrough]];
    case Command::verify:
        expect(o.uid && *o.uid >= 0, "enroll/verify accepted without a user id of 0 or more");
        expect(o.index && *o.index >= 0 && *o.index <= kelvractl::kMaxFingerIndex,
               "enroll/verify accepted without a finger index of 0 to 254");
        break;
    case Command::identify:
    case Command::search:
    case Command::list:
    case Command::clean:
        expect(o.uid && *o.uid >= -1, "a user id below -1 or none");
        expect(!o.index && !o.name, "--index or --name accepted where they mean nothing");
        expect(o.from >= 0 && o.to >= -1 && (o.to == -1 || o.to >= o.from), "an index range that is empty or negative");
        break;
    case Command::finger: {
        const auto &w = o.finger_words;
        expect(!w.empty(), "finger accepted without a hand command");
        const bool named = w[0] == "press" || w[0] == "smear" || w[0] == "partial" || w[0] == "auto";
        const bool bare = w[0] == "lift" || w[0] == "unplug" || w[0] == "replug" || w[0] == "state";
        expect(named || bare, "finger accepted an unknown hand command");
        expect(named ? w.size() == 2 && printable_word(w[1], 63) : w.size() == 1, "finger accepted bad words");
        break;
    }
    default:
        expect(!o.uid && !o.index && !o.name, "command options accepted by a command without them");
        break;
    }
    if (o.command != Command::finger)
        expect(o.finger_words.empty(), "hand-command words on another command");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> words;
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '\0' || c == '\n') {
            words.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (size > 0)
        words.push_back(current);
    const std::vector<std::string_view> views(words.begin(), words.end());

    const ParseResult r = kelvractl::parse_args(views);
    switch (r.status) {
    case ParseResult::Status::ok:
        expect(r.error.empty(), "an error text with a command accepted");
        check_ok(r.options);
        break;
    case ParseResult::Status::help:
        expect(r.help_for == Command::none || is_command(r.help_for), "help for something that is not a command");
        expect(!kelvractl::usage_text(r.help_for).empty(), "an empty help text");
        break;
    case ParseResult::Status::error:
        expect(!r.error.empty(), "a usage error without a message");
        expect(r.error.find('\n') == std::string::npos, "a usage error of more than one line");
        break;
    default:
        finding("a status that is none of ok, help, error");
    }
    return 0;
}
