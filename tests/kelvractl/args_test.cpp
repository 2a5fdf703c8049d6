// args_test.cpp - kelvractl's command line: what is accepted, what is refused and with which words.
#include "args.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace {

using kelvractl::Command;
using kelvractl::ParseResult;
using kelvractl::WorkMode;

ParseResult parse(std::initializer_list<std::string_view> words)
{
    const std::vector<std::string_view> args(words);
    return kelvractl::parse_args(args);
}

// The error line for words, and that they were refused.
std::string refusal(std::initializer_list<std::string_view> words)
{
    const ParseResult r = parse(words);
    EXPECT_EQ(r.status, ParseResult::Status::error) << "accepted";
    EXPECT_FALSE(r.error.empty());
    EXPECT_EQ(r.error.find('\n'), std::string::npos) << "one line: " << r.error;
    return r.error;
}

TEST(ParseInt, AcceptsOnlyWholeDecimalIntegersInRange)
{
    using kelvractl::parse_int;
    EXPECT_EQ(parse_int("0"), 0);
    EXPECT_EQ(parse_int("-1"), -1);
    EXPECT_EQ(parse_int("+7"), 7);
    EXPECT_EQ(parse_int("007"), 7);
    EXPECT_EQ(parse_int("2147483647"), 2147483647);
    EXPECT_EQ(parse_int("-2147483648"), -2147483647 - 1);

    for (const char *bad : {"", " 1", "1 ", "\t1", "1x", "x1", "0x10", "1.0", "1e3", "--1", "-", "+",
                            "2147483648", "-2147483649", "99999999999999999999", "１"})
        EXPECT_FALSE(parse_int(bad).has_value()) << '"' << bad << '"';
}

TEST(ParseArgs, CommandsTakeTheirArguments)
{
    ParseResult r = parse({"enroll", "--uid", "1000", "--index", "3", "--name", "right index"});
    ASSERT_EQ(r.status, ParseResult::Status::ok) << r.error;
    EXPECT_EQ(r.options.command, Command::enroll);
    EXPECT_EQ(r.options.uid, 1000);
    EXPECT_EQ(r.options.index, 3);
    EXPECT_EQ(r.options.name, "right index");

    r = parse({"verify", "--uid=5", "--index=0"});
    ASSERT_EQ(r.status, ParseResult::Status::ok) << r.error;
    EXPECT_EQ(r.options.command, Command::verify);
    EXPECT_EQ(r.options.uid, 5);
    EXPECT_EQ(r.options.index, 0);

    // Ranges default to every index and accept -1 (every user) and an open end.
    r = parse({"identify", "--uid", "-1"});
    ASSERT_EQ(r.status, ParseResult::Status::ok) << r.error;
    EXPECT_EQ(r.options.uid, -1);
    EXPECT_EQ(r.options.from, 0);
    EXPECT_EQ(r.options.to, -1);

    r = parse({"clean", "--uid", "7", "--from", "2", "--to", "2"});
    ASSERT_EQ(r.status, ParseResult::Status::ok) << r.error;
    EXPECT_EQ(r.options.from, 2);
    EXPECT_EQ(r.options.to, 2);

    for (auto words : {std::initializer_list<std::string_view>{"search", "--uid", "1", "--from", "1", "--to", "-1"},
                       {"list", "--uid", "0"}, {"discover"}, {"demo"}}) {
        r = parse(words);
        EXPECT_EQ(r.status, ParseResult::Status::ok) << r.error;
    }

    r = parse({"finger", "press", "alice"});
    ASSERT_EQ(r.status, ParseResult::Status::ok) << r.error;
    EXPECT_EQ(r.options.command, Command::finger);
    EXPECT_EQ(r.options.finger_words, (std::vector<std::string>{"press", "alice"}));
}

TEST(ParseArgs, GlobalOptionsGoAnywhere)
{
    const ParseResult r = parse({"--db", "/tmp/x.db", "verify", "--json", "--uid", "1", "--timeout-ms", "2500",
                                 "--index", "2", "--mode", "chip", "--finger=bob", "--config", "c.conf",
                                 "--module", "m.so", "--frames", "f", "--socket", "s", "-v"});
    ASSERT_EQ(r.status, ParseResult::Status::ok) << r.error;
    const auto &o = r.options;
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
}

TEST(ParseArgs, RefusesUnknownWordsAndMisplacedOptions)
{
    EXPECT_NE(refusal({}).find("no command"), std::string::npos);
    EXPECT_NE(refusal({"enrol"}).find("unknown command \"enrol\""), std::string::npos);
    EXPECT_NE(refusal({"list", "--uid", "1", "--colour"}).find("unknown option \"--colour\""), std::string::npos);
    EXPECT_NE(refusal({"list", "--uid", "1", "-x"}).find("unknown option"), std::string::npos);
    EXPECT_NE(refusal({"list", "--uid", "1", "--index", "2"}).find("--index is not an option of list"),
              std::string::npos);
    EXPECT_NE(refusal({"verify", "--uid", "1", "--index", "2", "--from", "0"}).find("not an option of verify"),
              std::string::npos);
    EXPECT_NE(refusal({"discover", "--uid", "1"}).find("not an option of discover"), std::string::npos);
    EXPECT_NE(refusal({"list", "--uid", "1", "extra"}).find("unexpected argument \"extra\""), std::string::npos);
    EXPECT_NE(refusal({"list", "--uid"}).find("--uid needs a value"), std::string::npos);
    EXPECT_NE(refusal({"list", "--uid", "1", "--json=yes"}).find("takes no value"), std::string::npos);
    EXPECT_NE(refusal({"list", "--uid", "1", "--db", ""}).find("non-empty path"), std::string::npos);
}

TEST(ParseArgs, RefusesNumbersThatAreNotNumbersOrOutOfRange)
{
    EXPECT_NE(refusal({"list", "--uid", "12abc"}).find("--uid needs a whole number, not \"12abc\""),
              std::string::npos);
    refusal({"list", "--uid", ""});
    refusal({"list", "--uid", "99999999999"});
    refusal({"verify", "--uid", "1", "--index", "0x1"});
    EXPECT_NE(refusal({"enroll", "--uid", "-1", "--index", "0", "--name", "n"}).find("0 or more"), std::string::npos);
    EXPECT_NE(refusal({"verify", "--uid", "-1", "--index", "0"}).find("0 or more"), std::string::npos);
    refusal({"list", "--uid", "-2"});
    // 255 addresses every finger on the sensor; a record cannot carry it.
    EXPECT_NE(refusal({"verify", "--uid", "1", "--index", "255"}).find("0 to 254"), std::string::npos);
    refusal({"verify", "--uid", "1", "--index", "-1"});
    refusal({"list", "--uid", "1", "--from", "-1"});
    refusal({"list", "--uid", "1", "--to", "-2"});
    EXPECT_NE(refusal({"list", "--uid", "1", "--from", "5", "--to", "4"}).find("--to 4 lies below --from 5"),
              std::string::npos);
    for (const char *bad : {"0", "-5", "ten", "86400001"})
        refusal({"list", "--uid", "1", "--timeout-ms", bad});
}

TEST(ParseArgs, RefusesMissingArgumentsAndBadTexts)
{
    EXPECT_NE(refusal({"enroll", "--uid", "1", "--index", "0"}).find("needs --uid, --index and --name"),
              std::string::npos);
    refusal({"verify", "--uid", "1"});
    EXPECT_NE(refusal({"identify"}).find("needs --uid"), std::string::npos);
    refusal({"enroll", "--uid", "1", "--index", "0", "--name", ""});
    refusal({"enroll", "--uid", "1", "--index", "0", "--name", "two\nlines"});
    refusal({"enroll", "--uid", "1", "--index", "0", "--name", std::string(256, 'n')});
    EXPECT_EQ(parse({"enroll", "--uid", "1", "--index", "0", "--name", std::string(255, 'n')}).status,
              ParseResult::Status::ok);
    EXPECT_EQ(parse({"enroll", "--uid", "1", "--index", "0", "--name", "左手食指"}).status, ParseResult::Status::ok);
    EXPECT_NE(refusal({"list", "--uid", "1", "--mode", "both"}).find("host or chip"), std::string::npos);
    refusal({"list", "--uid", "1", "--finger", "two words"});
    refusal({"list", "--uid", "1", "--finger", "[Sensor]"});
    refusal({"list", "--uid", "1", "--finger", ""});
}

TEST(ParseArgs, FingerCommandsAreCheckedBeforeSending)
{
    EXPECT_EQ(parse({"finger", "lift"}).status, ParseResult::Status::ok);
    EXPECT_EQ(parse({"finger", "smear", "bob", "--db", "x.db"}).status, ParseResult::Status::ok);
    EXPECT_EQ(parse({"finger", "unplug"}).status, ParseResult::Status::ok);
    refusal({"finger"});
    EXPECT_NE(refusal({"finger", "poke", "alice"}).find("unknown finger command \"poke\""), std::string::npos);
    refusal({"finger", "press"});
    refusal({"finger", "press", "alice", "bob"});
    refusal({"finger", "lift", "alice"});
    refusal({"finger", "press", "a=b"});
}

TEST(ParseArgs, HelpWinsAndNamesItsCommand)
{
    ParseResult r = parse({"--help"});
    EXPECT_EQ(r.status, ParseResult::Status::help);
    EXPECT_EQ(r.help_for, Command::none);

    // Help is given even when the rest of the line would be refused.
    r = parse({"enroll", "--help", "--uid", "x"});
    EXPECT_EQ(r.status, ParseResult::Status::help);
    EXPECT_EQ(r.help_for, Command::enroll);

    r = parse({"help", "verify"});
    EXPECT_EQ(r.status, ParseResult::Status::help);
    EXPECT_EQ(r.help_for, Command::verify);
    refusal({"help", "fly"});

    EXPECT_NE(kelvractl::usage_text(Command::enroll).find("--uid U --index I --name TEXT"), std::string::npos);
    EXPECT_NE(kelvractl::usage_text(Command::none).find("Exit status"), std::string::npos);
}

}  // namespace
