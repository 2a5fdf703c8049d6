// kelvractl_args_fuzz.cpp - kelvractl's argument parser on any command line.
//
// The input is split on NUL and newline bytes into the words after the program name. The parser must
// come back with a command it can run or a one-line usage error, and whatever it accepts must stay
// inside the ranges the command table gives its options.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "args.h"
#include "kelvs_control.h"

namespace {

using kelvractl::Command;
using kelvractl::Opt;
using kelvractl::Options;
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

bool printable_word(const std::string &word, std::size_t max)
{
    if (word.empty() || word.size() > max)
        return false;
    return std::none_of(word.begin(), word.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7f || c == '[' || c == ']' || c == '=' || c == '#';
    });
}

bool no_control(const std::string &text)
{
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// A value the parser accepted lies in the range of its use by the command (or of the global option).
void expect_in_range(const kelvractl::CommandRow &command, Opt opt, const std::optional<int> &value, const char *what)
{
    if (!value)
        return;
    const kelvractl::OptionUse *use = kelvractl::use_of(command, opt);
    const kelvractl::Range range = use != nullptr ? use->range : kelvractl::row_of(opt).range;
    expect(use != nullptr || kelvractl::row_of(opt).global, what);
    expect(*value >= range.min && *value <= range.max, what);
}

void check_ok(const Options &o)
{
    const kelvractl::CommandRow &command = kelvractl::row_of(o.command);
    expect(command.id == o.command, "accepted a command the table does not have");
    expect_in_range(command, Opt::timeout, o.timeout_ms, "time-out out of its range");
    expect_in_range(command, Opt::uid, o.uid, "user id out of its range or not an option of the command");
    expect_in_range(command, Opt::index, o.index, "finger index out of its range or not an option of the command");
    if (kelvractl::use_of(command, Opt::from) != nullptr) {
        expect_in_range(command, Opt::from, o.from, "--from out of its range");
        expect_in_range(command, Opt::to, o.to, "--to out of its range");
        expect(o.to == -1 || o.to >= o.from, "an index range that is empty");
    }
    if (o.finger)
        expect(printable_word(*o.finger, kelvractl::kMaxFingerNameBytes), "--finger accepted a name that is not one word");
    if (o.name)
        expect(kelvractl::use_of(command, Opt::name) != nullptr && !o.name->empty() &&
                   o.name->size() <= std::size_t(kelvractl::kMaxNameBytes) && no_control(*o.name),
               "--name accepted where it means nothing, or a name that is not usable");
    for (const std::string *path : {&o.config_file, &o.db_file, &o.module_file, &o.frames_dir, &o.socket_file})
        expect(path->find('\0') == std::string::npos, "a path with a NUL byte");
    if (o.command != Command::help) {
        for (const kelvractl::OptionUse &use : command.options) {
            if (!use.required)
                continue;
            expect(use.opt != Opt::uid || o.uid, "accepted without its required --uid");
            expect(use.opt != Opt::index || o.index, "accepted without its required --index");
            expect(use.opt != Opt::name || o.name, "accepted without its required --name");
        }
    }

    if (command.operands == kelvractl::Operands::hand_verb) {
        const auto &w = o.finger_words;
        expect(!w.empty(), "finger accepted without a hand command");
        const auto *verb = std::find_if(std::begin(kelvs_verbs), std::end(kelvs_verbs),
                                        [&](const kelvs_verb_info &v) { return w[0] == v.word; });
        expect(verb != std::end(kelvs_verbs), "finger accepted an unknown hand command");
        expect(verb->takes_finger ? w.size() == 2 && printable_word(w[1], kelvractl::kMaxFingerNameBytes) : w.size() == 1,
               "finger accepted bad words");
    } else {
        expect(o.finger_words.empty(), "hand-command words on another command");
    }
    expect(o.command == Command::help || !o.help_topic, "a help topic on another command");
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
    if (r.ok) {
        expect(r.error.empty(), "an error text with a command accepted");
        check_ok(r.options);
        if (r.options.command == Command::help)
            expect(!kelvractl::usage_text(r.options.help_topic, {}).empty(), "an empty help text");
    } else {
        expect(!r.error.empty(), "a usage error without a message");
        expect(r.error.find('\n') == std::string::npos, "a usage error of more than one line");
    }
    return 0;
}
