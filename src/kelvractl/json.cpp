// json.cpp - string escaping and the object builder of kelvractl's --json output.
#include "json.h"

#include <cstdio>

namespace kelvractl {

namespace {

// Length of the valid UTF-8 sequence at the start of text, or 0 when it is not one.
std::size_t utf8_sequence(std::string_view text)
{
    const auto b0 = static_cast<unsigned char>(text[0]);
    std::size_t length;
    unsigned int code;
    if (b0 < 0x80)
        return 1;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        code = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        code = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        code = b0 & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if ((b & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (b & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and code points past U+10FFFF are not UTF-8.
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

}  // namespace

std::string json_string(std::string_view text)
{
    std::string out = "\"";
    out.reserve(text.size() + 2);
    while (!text.empty()) {
        const char c = text[0];
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (u < 0x20 || u == 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", u);
            out += escape;
        } else if (u >= 0x80) {
            const std::size_t n = utf8_sequence(text);
            if (n == 0) {
                out += "\\ufffd";
                text.remove_prefix(1);
                continue;
            }
            out.append(text.substr(0, n));
            text.remove_prefix(n);
            continue;
        } else {
            out += c;
        }
        text.remove_prefix(1);
    }
    out += '"';
    return out;
}

void JsonObject::key(std::string_view name)
{
    if (!body_.empty())
        body_ += ',';
    body_ += json_string(name);
    body_ += ':';
}

JsonObject &JsonObject::add(std::string_view name, std::string_view value)
{
    key(name);
    body_ += json_string(value);
    return *this;
}

JsonObject &JsonObject::add(std::string_view name, const char *value)
{
    key(name);
    body_ += value != nullptr ? json_string(value) : "null";
    return *this;
}

JsonObject &JsonObject::add(std::string_view name, long long value)
{
    key(name);
    body_ += std::to_string(value);
    return *this;
}

JsonObject &JsonObject::add_bool(std::string_view name, bool value)
{
    key(name);
    body_ += value ? "true" : "false";
    return *this;
}

JsonObject &JsonObject::add_raw(std::string_view name, std::string_view json)
{
    key(name);
    body_ += json;
    return *this;
}

}  // namespace kelvractl
