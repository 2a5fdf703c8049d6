// handlers_test.cpp - what the commands do around the driver's operation, on a backend that records
// the operations asked of it: an index in use refused or replaced, the lowest free index taken, an
// empty index answered without a finger.
#include "backend.h"
#include "handlers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace kelvractl;

class FakeBackend : public Backend {
public:
    std::vector<Record> database;        // what stored() finds
    Outcome lookup = Outcome::success;   // how stored() ends
    std::vector<std::string> calls;      // the driver's operations asked for, in order
    std::vector<Report> shown;

    Report operation(Command command, std::string call, Outcome outcome = Outcome::success)
    {
        calls.push_back(std::move(call));
        Report r;
        r.command = command;
        r.outcome = outcome;
        return r;
    }
    Report discover() override { return operation(Command::discover, "discover"); }
    Report enroll(int uid, int index, const std::string &name) override
    {
        Report r = operation(Command::enroll, "enroll " + std::to_string(uid) + " " + std::to_string(index) + " " + name);
        r.uid = uid;
        r.index = index;
        return r;
    }
    Report verify(int uid, int index) override
    {
        return operation(Command::verify, "verify " + std::to_string(uid) + " " + std::to_string(index), Outcome::match);
    }
    Report identify(int, int, int) override { return operation(Command::identify, "identify"); }
    Report search(int, int, int) override { return operation(Command::search, "search"); }
    Report list(int, int, int) override { return operation(Command::list, "list"); }
    Report clean(int uid, int from, int to) override
    {
        return operation(Command::clean,
                         "clean " + std::to_string(uid) + " " + std::to_string(from) + " " + std::to_string(to));
    }
    Report stored(int uid, int from, int to) override
    {
        Report r;
        r.command = Command::list;
        r.outcome = lookup;
        for (const Record &rec : database)
            if (rec.uid == uid && rec.index >= from && (to < 0 || rec.index <= to))
                r.records.push_back(rec);
        return r;
    }
    int demo() override { return 0; }
    int replay(const std::string &) override { return 0; }
    Report hand_control(const std::string &line) override { return operation(Command::finger, line); }
    void note(const std::string &) override {}
    void show(const Report &report) override { shown.push_back(report); }
    void print_help(const std::string &) override {}
    Defaults defaults() const override { return {}; }
};

Options enroll_options(std::optional<int> index, bool replace = false)
{
    Options o;
    o.command = Command::enroll;
    o.uid = 7;
    o.index = index;
    o.name = "new";
    o.replace = replace;
    return o;
}

TEST(EnrollHandler, AnIndexInUseIsRefusedOrReplacedAndAMissingIndexIsTheLowestFree)
{
    struct Case {
        const char *what;
        std::vector<int> taken;   // indexes of user 7 in the database
        std::optional<int> index;
        bool replace;
        std::vector<std::string> calls;
        Outcome outcome;
    };
    const std::vector<Case> cases = {
        {"free index", {1}, 0, false, {"enroll 7 0 new"}, Outcome::success},
        {"index in use", {0, 1}, 1, false, {}, Outcome::refused},
        {"index in use, replaced", {0, 1}, 1, true, {"clean 7 1 1", "enroll 7 1 new"}, Outcome::success},
        {"replace with nothing to replace", {}, 4, true, {"enroll 7 4 new"}, Outcome::success},
        {"lowest free", {0, 1, 3}, std::nullopt, false, {"enroll 7 2 new"}, Outcome::success},
        {"nothing enrolled", {}, std::nullopt, false, {"enroll 7 0 new"}, Outcome::success},
    };
    for (const Case &c : cases) {
        FakeBackend backend;
        for (const int index : c.taken)
            backend.database.push_back(Record{7, index, "old", 1});
        // Another user's fingers never block an index.
        backend.database.push_back(Record{8, c.index.value_or(0), "other", 1});
        const int status = run_enroll(backend, enroll_options(c.index, c.replace));
        EXPECT_EQ(backend.calls, c.calls) << c.what;
        ASSERT_EQ(backend.shown.size(), 1u) << c.what;
        EXPECT_EQ(backend.shown[0].outcome, c.outcome) << c.what;
        EXPECT_EQ(status, exit_status(c.outcome)) << c.what;
    }

    FakeBackend full;
    for (int index = 0; index <= kMaxFingerIndex; ++index)
        full.database.push_back(Record{7, index, "f", 1});
    EXPECT_EQ(run_enroll(full, enroll_options(std::nullopt)), exit_status(Outcome::refused));
    EXPECT_TRUE(full.calls.empty());
}

TEST(VerifyHandler, AnEmptyIndexIsAnsweredWithoutAFinger)
{
    Options o;
    o.command = Command::verify;
    o.uid = 7;
    o.index = 2;
    FakeBackend empty;
    empty.database.push_back(Record{7, 1, "other index", 1});
    EXPECT_EQ(run_verify(empty, o), 1);
    EXPECT_TRUE(empty.calls.empty());
    ASSERT_EQ(empty.shown.size(), 1u);
    EXPECT_EQ(empty.shown[0].outcome, Outcome::not_enrolled);

    FakeBackend enrolled;
    enrolled.database.push_back(Record{7, 2, "thumb", 1});
    EXPECT_EQ(run_verify(enrolled, o), 0);
    EXPECT_EQ(enrolled.calls, std::vector<std::string>{"verify 7 2"});
}

TEST(CleanHandler, IndexesWithoutAFingerAreAnsweredWithoutTheDriverUnlessEveryIndexIsAsked)
{
    struct Case {
        const char *what;
        int from, to;
        std::vector<std::string> calls;
        Outcome outcome;
    };
    // User 7 has fingers 1 and 4; user 8 has finger 2.
    const std::vector<Case> cases = {
        {"every index", 0, -1, {"clean 7 0 -1"}, Outcome::success},
        {"a range holding a finger", 3, 6, {"clean 7 3 6"}, Outcome::success},
        {"an empty range", 2, 3, {}, Outcome::nothing_to_delete},
        {"an empty open range", 5, -1, {}, Outcome::nothing_to_delete},
        {"an empty single index", 2, 2, {}, Outcome::nothing_to_delete},
        {"a listed single index", 4, 4, {"clean 7 4 4"}, Outcome::success},
    };
    for (const Case &c : cases) {
        FakeBackend backend;
        backend.database = {Record{7, 1, "a", 1}, Record{7, 4, "b", 1}, Record{8, 2, "c", 1}};
        Options o;
        o.command = Command::clean;
        o.uid = 7;
        o.from = c.from;
        o.to = c.to;
        EXPECT_EQ(run_clean(backend, o), 0) << c.what;
        EXPECT_EQ(backend.calls, c.calls) << c.what;
        ASSERT_EQ(backend.shown.size(), 1u) << c.what;
        EXPECT_EQ(backend.shown[0].outcome, c.outcome) << c.what;
    }
}

TEST(Handlers, ADatabaseThatCannotBeReadEndsTheCommandWithItsOutcome)
{
    for (const Command command : {Command::enroll, Command::verify, Command::clean}) {
        FakeBackend backend;
        backend.lookup = Outcome::error;
        Options o = enroll_options(0);
        o.command = command;
        o.from = 1;
        o.to = 2;
        const int status = command == Command::enroll   ? run_enroll(backend, o)
                           : command == Command::verify ? run_verify(backend, o)
                                                        : run_clean(backend, o);
        EXPECT_EQ(status, exit_status(Outcome::error));
        EXPECT_TRUE(backend.calls.empty());
        ASSERT_EQ(backend.shown.size(), 1u);
        EXPECT_EQ(backend.shown[0].command, command);
    }
}

}  // namespace
