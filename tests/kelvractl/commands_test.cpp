// commands_test.cpp - the command table is what parsing, help, the manual and the JSON output go by: a
// row with its required options parses, every row and option appears in the help and the manual, and
// every command's JSON object carries exactly the members its row names.
#include "args.h"
#include "json.h"
#include "man_page.h"
#include "report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace kelvractl;

// A value the option takes in this use.
std::string valid_value(const OptionRow &row, const OptionUse &use)
{
    switch (row.kind) {
    case ValueKind::number: return std::to_string(use.range.max);
    case ValueKind::text: return "a name";
    default: return "x";
    }
}

TEST(CommandTable, EveryCommandParsesWithItsRequiredOptionsAndNeedsEachOfThem)
{
    for (const CommandRow &command : commands()) {
        if (command.operands == Operands::hand_verb || command.operands == Operands::trace_verb ||
            command.operands == Operands::trace_file)
            continue;  // its words come from the virtual sensor's verb table (ParseArgs tests), or name files
        std::vector<std::string> words{command.name};
        for (const OptionUse &use : command.options) {
            if (!use.required)
                continue;
            words.push_back(row_of(use.opt).name);
            words.push_back(valid_value(row_of(use.opt), use));
        }
        std::vector<std::string_view> views(words.begin(), words.end());
        const ParseResult r = parse_args(views);
        ASSERT_TRUE(r.ok) << command.name << ": " << r.error;
        EXPECT_EQ(r.options.command, command.id);
        EXPECT_NE(command.handler, nullptr) << command.name;

        for (std::size_t drop = 1; drop < words.size(); drop += 2) {
            std::vector<std::string_view> missing(views);
            missing.erase(missing.begin() + static_cast<long>(drop), missing.begin() + static_cast<long>(drop) + 2);
            EXPECT_FALSE(parse_args(missing).ok) << command.name << " without " << words[drop];
        }
    }
}

TEST(CommandTable, HelpShowsEveryCommandEveryOptionAndTheDefaultsOfTheRunningProgram)
{
    Defaults defaults;
    defaults.timeout_ms = "1234";
    defaults.database = "/db/here";
    const std::string general = usage_text(std::nullopt, defaults);
    for (const CommandRow &command : commands())
        EXPECT_NE(general.find(synopsis(command).substr(std::string_view("kelvractl ").size())), std::string::npos)
            << command.name;
    for (const OptionRow &option : options()) {
        if (option.global) {
            EXPECT_NE(general.find(std::string("  ") + (option.alias ? option.alias : option.name)), std::string::npos)
                << option.name;
        }
    }
    EXPECT_NE(general.find("default: 1234"), std::string::npos) << general;
    EXPECT_NE(general.find("default: /db/here"), std::string::npos) << general;

    for (const CommandRow &command : commands()) {
        const std::string text = usage_text(command.id, defaults);
        EXPECT_NE(text.find(synopsis(command)), std::string::npos) << text;
        for (const OptionUse &use : command.options)
            EXPECT_NE(text.find(row_of(use.opt).name), std::string::npos) << command.name;
        for (const char *field : command.json)
            EXPECT_NE(text.find(field), std::string::npos) << command.name << " " << field;
    }
}

// The part of a roff page from the line `heading` to the next section or subsection.
std::string man_section(const std::string &page, const std::string &heading)
{
    const std::size_t start = page.find("\n" + heading + "\n");
    if (start == std::string::npos)
        return {};
    const std::size_t end = std::min(page.find("\n.SS ", start + 1), page.find("\n.SH ", start + 1));
    return page.substr(start, end - start);
}

// An option's name as the manual sets it in bold: every dash a minus sign.
std::string man_option(const char *name)
{
    std::string out = "\\fB";
    for (const char *c = name; *c != '\0'; ++c)
        out += *c == '-' ? std::string("\\-") : std::string(1, *c);
    return out + "\\fR";
}

TEST(ManPage, DescribesEveryCommandWithItsOptionsEveryGlobalOptionAndEveryExitStatus)
{
    ManPageFacts facts;
    facts.version = "9.9";
    facts.driver_dir = "/drivers/here";
    facts.private_dir = "/private/here";
    const std::string page = man_page(facts);
    for (const CommandRow &command : commands()) {
        const std::string section = man_section(page, std::string(".SS ") + command.name);
        ASSERT_FALSE(section.empty()) << command.name;
        for (const OptionUse &use : command.options)
            EXPECT_NE(section.find(man_option(row_of(use.opt).name)), std::string::npos)
                << command.name << " " << row_of(use.opt).name;
    }
    const std::string global = man_section(page, ".SH GLOBAL OPTIONS");
    for (const OptionRow &option : options()) {
        if (option.global) {
            EXPECT_NE(global.find(man_option(option.name)), std::string::npos) << option.name;
        }
    }
    // Every status kelvractl can exit with is explained.
    const std::string statuses = man_section(page, ".SH EXIT STATUS");
    for (int o = static_cast<int>(Outcome::success); o <= static_cast<int>(Outcome::error); ++o) {
        const std::string status = std::to_string(exit_status(static_cast<Outcome>(o)));
        EXPECT_NE(statuses.find("\\fB" + status + "\\fR"), std::string::npos) << status;
    }
    EXPECT_NE(statuses.find("\\fB" + std::to_string(kExitInterruptedTwice) + "\\fR"), std::string::npos);
    EXPECT_NE(man_section(page, ".SH FILES").find("/\\:drivers/\\:here"), std::string::npos) << page;
}

// The member names of a JSON object, as a sorted list.
std::set<std::string> members(const std::string &object)
{
    std::set<std::string> out;
    int depth = 0;
    for (std::size_t i = 0; i < object.size(); ++i) {
        const char c = object[i];
        if (c == '"') {
            const std::size_t end = object.find('"', i + 1);
            if (depth == 1 && object[end + 1] == ':')
                out.insert(object.substr(i + 1, end - i - 1));
            i = end;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return out;
}

TEST(CommandTable, EveryCommandsJsonHasTheMembersOfItsRow)
{
    for (const CommandRow &command : commands()) {
        if (command.id == Command::demo || command.id == Command::replay)
            continue;  // the demo writes its object of steps itself, a replay its verdict
        Report r;
        r.command = command.id;
        r.outcome = Outcome::failed;
        r.detail = "why";
        std::set<std::string> expected{"command", "outcome", "exit_status", "error"};
        expected.insert(command.json.begin(), command.json.end());
        EXPECT_EQ(members(report_json(r)), expected) << command.name << ": " << report_json(r);
    }
}

// Makes sure each member carries the report's own value; an example failure: "status" written from the
// result, or "notifies" from the messages. Every value below differs from every other.
TEST(CommandTable, EveryMemberOfARowCarriesItsOwnValue)
{
    Report r;
    r.result = 301;
    r.notify = 13;
    r.status = 3;
    r.notifies = {10, 12};
    r.messages = {"press"};
    r.records = {{9, 8, "thumb", 1}};
    r.presses = 4;
    r.uid = 7;
    r.index = 5;
    r.matched_uid = 1001;
    r.devices = 2;
    r.owner_pid = 4242;
    r.replaced = true;
    r.line = "press alice";
    r.answer = "pressed";
    const std::map<std::string, std::string> written = {
        {"result", "301"}, {"notify", "13"}, {"status", "3"}, {"notifies", "[10,12]"}, {"messages", "[\"press\"]"},
        {"records", "[{\"uid\":9,\"index\":8,\"index_name\":\"thumb\",\"samples\":1}]"}, {"presses", "4"},
        {"uid", "1001"}, {"index", "5"}, {"devices", "2"}, {"owner_pid", "4242"}, {"replaced", "true"},
        {"line", "\"press alice\""}, {"answer", "\"pressed\""}};
    for (const CommandRow &command : commands()) {
        if (command.id == Command::demo || command.id == Command::replay)
            continue;  // their own objects, read back by the end-to-end tests
        r.command = command.id;
        const std::string json = report_json(r);
        for (std::string member : command.json) {
            const auto value = written.find(member);
            ASSERT_NE(value, written.end()) << "a member this test gives no value: " << member;
            // An enrollment names the user it enrolled, a match the user it found.
            const std::string text = member == "uid" && command.id == Command::enroll ? "7" : value->second;
            const std::string pair = "\"" + member + "\":" + text;
            EXPECT_TRUE(json.find(pair + ",") != std::string::npos || json.find(pair + "}") != std::string::npos)
                << command.name << ": " << pair << " not in " << json;
        }
    }
}

TEST(ReportWords, AMissAmongOneUsersFingersSaysNothingOfTheOthers)
{
    Report r;
    r.command = Command::identify;
    r.outcome = Outcome::no_match;
    r.uid = 1;
    EXPECT_NE(report_words(r).find("none of user 1's fingers"), std::string::npos) << report_words(r);
    r.uid = -1;
    EXPECT_NE(report_words(r).find("none of the enrolled users"), std::string::npos) << report_words(r);
    r.command = Command::verify;
    r.outcome = Outcome::not_enrolled;
    r.uid = 1;
    r.index = 0;
    EXPECT_NE(report_words(r).find("user 1 has no finger at index 0"), std::string::npos) << report_words(r);
}

}  // namespace
