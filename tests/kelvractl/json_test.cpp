// json_test.cpp - kelvractl's JSON strings stay valid JSON whatever the driver or the database hand it.
#include "json.h"

#include <gtest/gtest.h>

namespace {

using kelvractl::json_string;

TEST(JsonString, EscapesQuotesBackslashesAndControlCharacters)
{
    EXPECT_EQ(json_string("plain"), "\"plain\"");
    EXPECT_EQ(json_string("say \"hi\" \\ bye"), "\"say \\\"hi\\\" \\\\ bye\"");
    EXPECT_EQ(json_string("a\nb\tc\rd"), "\"a\\nb\\tc\\rd\"");
    EXPECT_EQ(json_string(std::string_view("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\\u007f\"");
    EXPECT_EQ(json_string(std::string_view("nul\0x", 5)), "\"nul\\u0000x\"");
}

TEST(JsonString, KeepsUtf8AndReplacesBrokenBytes)
{
    EXPECT_EQ(json_string("当前手指已注册"), "\"当前手指已注册\"");
    EXPECT_EQ(json_string("\xF0\x9F\x91\x8D"), "\"\xF0\x9F\x91\x8D\"");
    // A lone continuation byte, a cut-off sequence, an overlong slash and a surrogate.
    EXPECT_EQ(json_string("a\x80z"), "\"a\\ufffdz\"");
    EXPECT_EQ(json_string("\xE5\xBD"), "\"\\ufffd\\ufffd\"");
    EXPECT_EQ(json_string("\xC0\xAF"), "\"\\ufffd\\ufffd\"");
    EXPECT_EQ(json_string("\xED\xA0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");
    EXPECT_EQ(json_string("\xF4\x90\x80\x80"), "\"\\ufffd\\ufffd\\ufffd\\ufffd\"");
}

TEST(JsonObject, JoinsMembersInOrder)
{
    kelvractl::JsonObject o;
    o.add("outcome", "match").add("result", 300).add("name", static_cast<const char *>(nullptr));
    o.add_bool("ok", true).add_raw("records", "[]");
    EXPECT_EQ(o.str(), "{\"outcome\":\"match\",\"result\":300,\"name\":null,\"ok\":true,\"records\":[]}");
    EXPECT_EQ(kelvractl::JsonObject().str(), "{}");
}

}  // namespace
