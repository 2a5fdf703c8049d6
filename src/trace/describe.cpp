// describe.cpp - one line per trace entry, for people reading a trace or a replay's complaint.
#include "content_hash.h"
#include "kelvra_trace.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace kelvra::trace {
namespace {

// Buffers up to this size are shown as hex (records, tags); larger ones by size and hash.
constexpr std::size_t kHexLimit = 128;

std::string seconds(std::int64_t ns)
{
    char text[48];
    std::int64_t whole = ns / 1000000000;
    std::int64_t micros = (ns % 1000000000) / 1000;
    if (ns < 0)
        std::snprintf(text, sizeof text, "-%" PRId64 ".%06" PRId64, -whole, -micros);
    else
        std::snprintf(text, sizeof text, "+%" PRId64 ".%06" PRId64, whole, micros);
    return text;
}

// "<64 bytes e8030000 +60 zeros>": short buffers in hex, their zero tail counted instead of shown.
std::string describe_bytes(std::span<const std::uint8_t> bytes)
{
    std::string s = "<" + std::to_string(bytes.size()) + " bytes";
    if (bytes.size() > kHexLimit)
        return s + " " + short_hash(content_hash(bytes)) + ">";
    std::size_t shown = bytes.size();
    while (shown > 0 && bytes[shown - 1] == 0)
        --shown;
    if (shown > 0) {
        static const char digits[] = "0123456789abcdef";
        s += " ";
        for (std::size_t i = 0; i < shown; ++i) {
            s += digits[bytes[i] >> 4];
            s += digits[bytes[i] & 15];
        }
    }
    if (shown < bytes.size())
        s += shown == 0                          ? " all zero"
             : bytes.size() - shown == 1 ? " +1 zero"
                                         : " +" + std::to_string(bytes.size() - shown) + " zeros";
    return s + ">";
}

std::string describe_value(const Value &v)
{
    switch (v.kind) {
    case Value::Kind::integer:
        return std::to_string(v.number);
    case Value::Kind::handle:
        return "#" + std::to_string(v.number);
    case Value::Kind::bytes:
        return v.bytes ? describe_bytes(*v.bytes) : describe_bytes({});
    case Value::Kind::null:
        return "NULL";
    case Value::Kind::unchanged:
        return "unchanged";
    case Value::Kind::redacted:
        return "<" + std::to_string(v.number) + " bytes redacted>";
    }
    return "?";
}

std::string describe_values(Function function, Direction direction, std::span<const Value> values)
{
    std::string s;
    std::size_t i = 0;
    for (const Parameter &p : parameters(function)) {
        if (p.direction != direction)
            continue;
        if (i > 0)
            s += ", ";
        s += std::string(p.name) + "=" + (i < values.size() ? describe_value(values[i]) : "(missing)");
        ++i;
    }
    for (; i < values.size(); ++i)
        s += (i > 0 ? ", " : "") + std::string("(extra)=") + describe_value(values[i]);
    return s;
}

}  // namespace

std::string describe_inputs(Function function, std::span<const Value> inputs)
{
    return describe_values(function, Direction::in, inputs);
}

std::string describe(const Call &call, std::uint64_t index)
{
    std::string s = std::to_string(index) + " t" + std::to_string(call.thread) + " " + seconds(call.start_ns) + " " +
                    std::string(function_name(call.function)) + "(" + describe_inputs(call.function, call.inputs) +
                    ") = " + std::to_string(call.rc);
    if (!call.outputs.empty())
        s += " -> " + describe_values(call.function, Direction::out, call.outputs);
    return s;
}

std::string describe(const Event &event)
{
    return "-- " + seconds(event.time_ns) + " stop requested after call " + std::to_string(event.after_calls);
}

std::string describe(const Section &section)
{
    // Short printable sections are shown as text; a NUL separates the words of a command line.
    bool text = !section.content.empty() && section.content.size() <= 400 && section.content.front() != 0;
    for (std::uint8_t c : section.content)
        text = text && ((c >= 0x20 && c < 0x7f) || c == 0);
    std::string s = "-- section " + section.name + ": ";
    if (!text)
        return s + describe_bytes(section.content);
    if (std::find(section.content.begin(), section.content.end(), 0) == section.content.end())
        return s + "\"" + std::string(section.content.begin(), section.content.end()) + "\"";
    std::string words;
    std::string word;
    auto flush = [&] {
        if (!words.empty())
            words += ' ';
        words += word.find(' ') == std::string::npos && !word.empty() ? word : "'" + word + "'";
        word.clear();
    };
    for (std::size_t i = 0; i < section.content.size(); ++i) {
        if (section.content[i] != 0)
            word += static_cast<char>(section.content[i]);
        else
            flush();
    }
    if (!word.empty() || section.content.back() != 0)
        flush();
    return s + "\"" + words + "\"";
}

}  // namespace kelvra::trace
