// kelvractl_args_dict.cpp - writes the libFuzzer dictionary of kelvractl_args_fuzz from the command
// table: every command, option and hand-control verb, and the edges of every number's range.
#include "args.h"
#include "kelvs_control.h"

#include <cstdio>
#include <set>
#include <string>

namespace {

void entry(const std::string &word)
{
    std::printf("\"");
    for (const char c : word) {
        if (c == '"' || c == '\\')
            std::printf("\\%c", c);
        else if (static_cast<unsigned char>(c) < 0x20)
            std::printf("\\x%02x", static_cast<unsigned char>(c));
        else
            std::printf("%c", c);
    }
    std::printf("\"\n");
}

void range_edges(std::set<long long> &numbers, const kelvractl::Range &range)
{
    for (const long long n : {range.min - 1, range.min, range.max, range.max + 1})
        numbers.insert(n);
}

}  // namespace

int main()
{
    std::printf("# Made from kelvractl's command table by kelvractl_args_dict; do not edit.\n");
    std::set<long long> numbers;
    for (const kelvractl::CommandRow &command : kelvractl::commands()) {
        entry(command.name);
        for (const kelvractl::OptionUse &use : command.options)
            if (kelvractl::row_of(use.opt).kind == kelvractl::ValueKind::number)
                range_edges(numbers, use.range);
    }
    for (const kelvractl::OptionRow &option : kelvractl::options()) {
        entry(option.name);
        if (option.alias != nullptr)
            entry(option.alias);
        if (option.value != nullptr)
            entry(std::string(option.name) + "=");
        if (option.global && option.kind == kelvractl::ValueKind::number)
            range_edges(numbers, option.range);
        if (option.default_text != nullptr)
            entry(option.default_text);
    }
    for (const kelvs_verb_info &verb : kelvs_verbs)
        entry(verb.word);
    for (const char *word : {"host", "chip", "none"})
        entry(word);
    for (const long long n : numbers)
        entry(std::to_string(n));
    entry(std::string(1, '\0'));
    entry("\n");
    return 0;
}
