// args_test.cpp - kelvractl's command line: what is accepted, what is refused and with which words.
#include "args.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

namespace {

using kelvractl::Command;
using kelvractl::NumberError;
using kelvractl::ParseResult;
using kelvractl::WorkMode;

using Words = std::vector<std::string_view>;

ParseResult parse(const Words &words) { return kelvractl::parse_args(words); }

TEST(ParseInt, AcceptsOnlyWholeDecimalIntegersAndTellsTooLargeFromNoNumber)
{
    using kelvractl::parse_int;
    struct Case {
        const char *text;
        std::optional<int> value;
        NumberError why;
    };
    const Case cases[] = {
        {"0", 0, NumberError::none},
        {"-1", -1, NumberError::none},
        {"+7", 7, NumberError::none},
        {"007", 7, NumberError::none},
        {"2147483647", 2147483647, NumberError::none},
        {"-2147483648", -2147483647 - 1, NumberError::none},
        {"2147483648", std::nullopt, NumberError::out_of_range},
        {"-2147483649", std::nullopt, NumberError::out_of_range},
        {"99999999999999999999999999999999999999", std::nullopt, NumberError::out_of_range},
    };
    for (const Case &c : cases) {
        NumberError why = NumberError::not_a_number;
        EXPECT_EQ(parse_int(c.text, &why), c.value) << c.text;
        EXPECT_EQ(why, c.why) << c.text;
    }
    for (const char *bad : {"", " 1", "1 ", "\t1", "1x", "x1", "0x10", "1.0", "1e3", "--1", "-", "+", "１"}) {
        NumberError why = NumberError::none;
        EXPECT_FALSE(parse_int(bad, &why).has_value()) << '"' << bad << '"';
        EXPECT_EQ(why, NumberError::not_a_number) << '"' << bad << '"';
    }
}

TEST(ParseArgs, CommandsTakeTheirArgumentsAndGlobalOptionsGoAnywhere)
{
    ParseResult r = parse({"--db", "/tmp/x.db", "enroll", "--json", "--uid", "1000", "--timeout-ms", "2500",
                           "--name", "right index", "--mode", "chip", "--finger=bob", "--config", "c.conf",
                           "--module", "m.so", "--frames", "f", "--socket", "s", "-v", "--replace", "--index=3"});
    ASSERT_TRUE(r.ok) << r.error;
    const auto &o = r.options;
    EXPECT_EQ(o.command, Command::enroll);
    EXPECT_EQ(o.uid, 1000);
    EXPECT_EQ(o.index, 3);
    EXPECT_EQ(o.name, "right index");
    EXPECT_TRUE(o.replace);
    EXPECT_EQ(o.db_file, "/tmp/x.db");
    EXPECT_TRUE(o.json);
    EXPECT_TRUE(o.verbose);
    EXPECT_EQ(o.timeout_ms, 2500);
    EXPECT_EQ(o.mode, WorkMode::chip);
    EXPECT_EQ(o.finger, "bob");
    EXPECT_EQ(o.config_file, "c.conf");
    EXPECT_EQ(o.module_file, "m.so");
    EXPECT_EQ(o.frames_dir, "f");
    EXPECT_EQ(o.socket_file, "s");

    // Ranges default to every index and accept -1 (every user) and an open end.
    r = parse({"identify", "--uid", "-1"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.uid, -1);
    EXPECT_EQ(r.options.from, 0);
    EXPECT_EQ(r.options.to, -1);

    r = parse({"finger", "press", "alice"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.finger_words, (std::vector<std::string>{"press", "alice"}));

    for (const Words &words : {Words{"enroll", "--uid", "1", "--name", "n"}, Words{"clean", "--uid", "7", "--from",
                                                                                    "2", "--to", "2"},
                               Words{"search", "--uid", "1", "--from", "1", "--to", "-1"}, Words{"list", "--uid", "0"},
                               Words{"discover"}, Words{"demo"}, Words{"finger", "lift"}, Words{"finger", "unplug"},
                               Words{"finger", "smear", "bob", "--db", "x.db"}})
        EXPECT_TRUE(parse(words).ok) << words[0] << ": " << parse(words).error;
}

TEST(ParseArgs, RefusesWithOneLineThatSaysWhy)
{
    struct Case {
        Words words;
        const char *says;
    };
    const std::vector<Case> cases = {
        {{}, "no command"},
        {{"enrol"}, "unknown command \"enrol\""},
        {{"list", "--uid", "1", "--colour"}, "unknown option \"--colour\""},
        {{"list", "--uid", "1", "-x"}, "unknown option \"-x\""},
        {{"list", "--uid", "1", "--uid", "1"}, "--uid is given twice"},
        {{"--json", "list", "--uid", "1", "--json"}, "--json is given twice"},
        {{"list", "--uid", "1", "--index", "2"}, "--index is not an option of list"},
        {{"verify", "--uid", "1", "--index", "2", "--from", "0"}, "--from is not an option of verify"},
        {{"discover", "--uid", "1"}, "--uid is not an option of discover"},
        {{"verify", "--uid", "1", "--index", "2", "--replace"}, "--replace is not an option of verify"},
        {{"list", "--uid", "1", "extra"}, "unexpected argument \"extra\" for list"},
        {{"list", "--uid"}, "--uid needs a value"},
        {{"list", "--uid", "1", "--json=yes"}, "--json takes no value"},
        {{"list", "--uid", "1", "--db", ""}, "--db needs a non-empty path"},
        {{"list", "--uid", "12abc"}, "--uid needs a whole number, not \"12abc\""},
        {{"list", "--uid", ""}, "--uid needs a whole number"},
        {{"list", "--uid", "99999999999"}, "--uid 99999999999 is out of range"},
        {{"list", "--uid", "-2"}, "--uid -2 is out of range"},
        {{"enroll", "--uid", "-1", "--name", "n"}, "--uid -1 is out of range"},
        {{"verify", "--uid", "-1", "--index", "0"}, "--uid -1 is out of range"},
        // 255 addresses every finger on the sensor; a record cannot carry it.
        {{"verify", "--uid", "1", "--index", "255"}, "--index 255 is out of range"},
        {{"verify", "--uid", "1", "--index", "-1"}, "--index -1 is out of range"},
        {{"list", "--uid", "1", "--from", "-1"}, "--from -1 is out of range"},
        {{"list", "--uid", "1", "--to", "-2"}, "--to -2 is out of range"},
        {{"list", "--uid", "1", "--from", "5", "--to", "4"}, "--to 4 lies below --from 5"},
        {{"list", "--uid", "1", "--timeout-ms", "0"}, "--timeout-ms 0 is out of range"},
        {{"list", "--uid", "1", "--timeout-ms", "86400001"}, "--timeout-ms 86400001 is out of range"},
        {{"list", "--uid", "1", "--timeout-ms", "ten"}, "--timeout-ms needs a whole number"},
        {{"enroll", "--uid", "1", "--index", "0"}, "enroll needs --name"},
        {{"verify", "--uid", "1"}, "verify needs --index"},
        {{"identify"}, "identify needs --uid"},
        {{"enroll", "--uid", "1", "--name", ""}, "--name needs a text"},
        {{"enroll", "--uid", "1", "--name", "two\nlines"}, "--name needs a text"},
        {{"list", "--uid", "1", "--mode", "both"}, "--mode is host or chip, not \"both\""},
        {{"list", "--uid", "1", "--finger", "two words"}, "--finger needs a finger name"},
        {{"list", "--uid", "1", "--finger", "[Sensor]"}, "--finger needs a finger name"},
        {{"finger"}, "finger needs a command"},
        {{"finger", "poke", "alice"}, "unknown finger command \"poke\""},
        {{"finger", "press"}, "finger press needs exactly one finger name"},
        {{"finger", "press", "alice", "bob"}, "finger press needs exactly one finger name"},
        {{"finger", "lift", "alice"}, "finger lift takes no further word"},
        {{"finger", "press", "a=b"}, "invalid finger name \"a=b\""},
        {{"help", "fly"}, "no help for unknown command \"fly\""},
        {{"help", "list", "verify"}, "unexpected argument \"verify\" for help"},
    };
    for (const Case &c : cases) {
        const ParseResult r = parse(c.words);
        EXPECT_FALSE(r.ok) << c.says;
        EXPECT_NE(r.error.find(c.says), std::string::npos) << r.error;
        EXPECT_EQ(r.error.find('\n'), std::string::npos) << "one line: " << r.error;
    }
    const std::string longest(kelvractl::kMaxNameBytes, 'n');
    EXPECT_TRUE(parse({"enroll", "--uid", "1", "--name", longest}).ok);
    EXPECT_FALSE(parse({"enroll", "--uid", "1", "--name", longest + "n"}).ok);
    EXPECT_TRUE(parse({"enroll", "--uid", "1", "--name", "左手食指"}).ok);
}

TEST(ParseArgs, AUsageErrorKnowsWhetherJsonWasAsked)
{
    // Wherever --json stands, even past the word that was refused.
    for (const Words &words : {Words{"--json", "enrol"}, Words{"enrol", "--json"}, Words{"list", "--uid", "x", "--json"}})
        EXPECT_TRUE(parse(words).json) << words[0];
    EXPECT_FALSE(parse({"enrol"}).json);
}

// Example failure: a JSON reader told "command": null for a bad --uid of list.
TEST(ParseArgs, AUsageErrorNamesTheCommandTheLineNamedBeforeIt)
{
    struct Case {
        Words words;
        const char *command;
    };
    for (const Case &c : {Case{{"list", "--uid", "x", "--json"}, "list"},
                          Case{{"--json", "enroll", "--uid", "1", "--index", "99"}, "enroll"},
                          Case{{"--json", "clean", "--uid", "1", "--from", "3", "--to", "2"}, "clean"},
                          Case{{"--json", "verify", "--index", "0"}, "verify"},
                          Case{{"--json", "--timeout-ms", "0", "list"}, nullptr},
                          Case{{"--json", "enrol"}, nullptr}}) {
        const ParseResult r = parse(c.words);
        ASSERT_FALSE(r.ok) << c.words[1];
        EXPECT_STREQ(r.command, c.command) << r.error;
    }
}

TEST(ParseArgs, HelpIsACommandAndWinsOverTheRestOfTheLine)
{
    struct Case {
        Words words;
        std::optional<Command> topic;
    };
    const std::vector<Case> cases = {
        {{"--help"}, std::nullopt},
        {{"help"}, std::nullopt},
        {{"help", "verify"}, Command::verify},
        {{"help", "help"}, Command::help},
        {{"help", "--help"}, std::nullopt},
        {{"-h", "enroll"}, Command::enroll},
        {{"enroll", "--help", "--uid", "x"}, Command::enroll},
        {{"finger", "press", "alice", "-h"}, Command::finger},
    };
    for (const Case &c : cases) {
        const ParseResult r = parse(c.words);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.options.command, Command::help);
        EXPECT_EQ(r.options.help_topic, c.topic);
        EXPECT_TRUE(r.options.finger_words.empty()) << "a hand command left on help";
    }
}

}  // namespace

// Example failure: Chinese help counted in bytes (three per character) or never broken, as it has no
// spaces, so a zh_CN terminal wraps it in the middle of the next column.
TEST(HelpText, WrapsByDisplayWidth)
{
    EXPECT_EQ(kelvractl::display_width("abc"), 3u);
    EXPECT_EQ(kelvractl::display_width("指纹"), 4u);
    EXPECT_EQ(kelvractl::display_width("--uid（用户）"), 13u);

    struct Case {
        std::string text;
        std::size_t indent;
    };
    std::string chinese;
    for (int i = 0; i < 20; ++i)
        chinese += "记录传感器的调用，";  // 9 characters, 18 columns
    std::string english;
    for (int i = 0; i < 30; ++i)
        english += "record every call ";
    english.pop_back();
    for (const Case &c : {Case{chinese, 24}, Case{english, 24}, Case{"含设备组 [kelvra-dactylen] 的配置文件：" + chinese, 7}}) {
        std::istringstream text(kelvractl::wrap_help(c.text, c.indent));
        std::vector<std::string> lines;
        for (std::string line; std::getline(text, line);)
            lines.push_back(line);
        ASSERT_GE(lines.size(), 3u);
        std::string joined;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            // The first line starts at the indent's column too, after the option's name.
            const std::string shown = lines[i].substr(i == 0 ? 0 : c.indent);
            if (i > 0) {
                EXPECT_EQ(lines[i].substr(0, c.indent), std::string(c.indent, ' '));
            }
            EXPECT_LE(c.indent + kelvractl::display_width(shown), 100u) << shown;
            if (i + 1 < lines.size()) {
                EXPECT_GT(c.indent + kelvractl::display_width(shown), 90u) << "filled: " << shown;
            }
            EXPECT_NE(shown.substr(0, 1), " ");
            EXPECT_NE(shown.substr(0, 3), "，") << "no line starts with closing punctuation";
            joined += shown;
        }
        std::string expected = c.text;
        std::erase(expected, ' ');
        std::erase(joined, ' ');
        EXPECT_EQ(joined, expected) << "nothing lost";
    }
}
