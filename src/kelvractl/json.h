// json.h - the one JSON object kelvractl prints per command with --json.
#ifndef KELVRACTL_JSON_H
#define KELVRACTL_JSON_H

#include <string>
#include <string_view>

namespace kelvractl {

// text as a JSON string literal with its quotes. Control characters become \u escapes, and bytes
// that are not valid UTF-8 become U+FFFD, so the output always parses.
std::string json_string(std::string_view text);

// Builds one object (or array) member by member; the caller nests by appending raw() text.
class JsonObject {
public:
    JsonObject &add(std::string_view key, std::string_view value);
    JsonObject &add(std::string_view key, const char *value);  // NULL becomes null
    JsonObject &add(std::string_view key, long long value);
    JsonObject &add(std::string_view key, int value) { return add(key, static_cast<long long>(value)); }
    JsonObject &add_bool(std::string_view key, bool value);
    JsonObject &add_raw(std::string_view key, std::string_view json);
    std::string str() const { return "{" + body_ + "}"; }

private:
    void key(std::string_view name);
    std::string body_;
};

}  // namespace kelvractl

#endif
