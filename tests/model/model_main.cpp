// model_main.cpp - the random-sequence tests: a fixed set of seeds for every test run, and campaigns or a
// single sequence from the command line.
//
//   model_tests                                    the fixed seeds (what make test runs)
//   model_tests --steps N [--seed S] [--mode M]    a campaign of at least N steps (M: host, chip, both)
//   model_tests --mode chip --run 'open enroll:1:0:finger0 ...'   one sequence, as a finding prints it
//   --known-faults-open=a,b | none                 invariants whose breaches are counted, not failed
//   --length L                                     steps per sequence (default 60)
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "model.h"

namespace {

using namespace model;

constexpr int kFixedLength = 60;
constexpr uint64_t kFixedSeeds[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};

struct Settings {
    bool campaign = false;
    long steps = 0;
    uint64_t seed = 1;
    std::string mode = "both";
    int length = kFixedLength;
    std::string run;
    bool shrinking = true;
    std::set<std::string> known_open = default_known_open();
};
Settings g_settings;
std::string g_program = "model_tests";

RunOptions options() { return RunOptions{g_settings.known_open, true}; }

std::string known_open_text()
{
    std::string text;
    for (const std::string &name : g_settings.known_open)
        text += (text.empty() ? "" : ",") + name;
    return text.empty() ? "none" : text;
}

std::string rerun_line(Mode mode, const std::vector<Step> &steps)
{
    return g_program + " --known-faults-open=" + known_open_text() + " --mode " + mode_name(mode) + " --run '" +
           to_text(steps) + "'";
}

// A finding as a developer reads it: what broke, where, and the shortest sequence that still breaks it.
std::string describe_finding(Mode mode, const std::vector<Step> &steps, const Finding &finding, uint64_t seed)
{
    std::string text = "invariant " + finding.invariant + " broken at step " + std::to_string(finding.step + 1) +
                       " (" + to_text(steps[finding.step]) + ") of seed " + std::to_string(seed) + " (" +
                       mode_name(mode) + "): " + finding.detail + "\n";
    if (g_settings.shrinking) {
        int runs = 0;
        Finding breach = finding;
        const std::vector<Step> shrunk = shrink(mode, steps, finding.invariant, options(), &runs, &breach);
        text += "  shrunk in " + std::to_string(runs) + " runs to " + std::to_string(shrunk.size()) +
                " steps, breaking it at step " + std::to_string(breach.step + 1) + ": " + breach.detail;
        text += "\n  rerun: " + rerun_line(mode, shrunk) + "\n";
    } else {
        text += "  rerun: " + rerun_line(mode, steps) + "\n";
    }
    return text;
}

class FixedSeeds : public testing::TestWithParam<std::tuple<uint64_t, Mode>> {};

// Makes sure that no sequence of these seeds breaks an invariant: an example failure is a stop answered
// 0 after which the enrollment went on pressing, printed with its shrunk sequence.
TEST_P(FixedSeeds, HoldEveryInvariant)
{
    const auto [seed, mode] = GetParam();
    const std::vector<Step> steps = generate(seed, g_settings.length, mode);
    const RunReport report = run_sequence(mode, steps, options());
    EXPECT_EQ(report.steps_run, steps.size());
    EXPECT_GT(report.invariants_checked.size(), 5u);
    for (const Finding &finding : report.findings)
        ADD_FAILURE() << describe_finding(mode, steps, finding, seed);
    std::printf("[ model    ] seed %llu %s: %zu steps, %ld checks of %zu invariants, %zu breaches of known-open "
                "invariants\n",
                static_cast<unsigned long long>(seed), mode_name(mode).c_str(), report.steps_run, report.checks,
                report.invariants_checked.size(), report.known.size());
}

INSTANTIATE_TEST_SUITE_P(BothModes, FixedSeeds,
                         testing::Combine(testing::ValuesIn(kFixedSeeds), testing::Values(Mode::Host, Mode::Chip)),
                         [](const testing::TestParamInfo<std::tuple<uint64_t, Mode>> &info) {
                             return mode_name(std::get<1>(info.param)) + "_seed" +
                                    std::to_string(std::get<0>(info.param));
                         });

// Shrunk sequences of faults the sequences found, each kept with the invariant it broke. They run like the
// fixed seeds: while the invariant is known open its breach is only counted, afterwards it fails.
struct Regression {
    const char *fault;
    Mode mode;
    const char *steps;
    const char *invariant;
};
const Regression kRegressions[] = {
    {"a stop in the enrollment's entry pause answered 0, and the enrollment went on", Mode::Chip,
     "open enroll:1:0:finger0@entry/1000", "stop-answered-0-ends-the-operation"},
    {"a stop waited its whole bound after the on-chip finger wait had ended the enrollment", Mode::Chip,
     "open enroll:1:0:finger0 enroll:1:1:finger1@wait.3/1000", "stop-answers-minus-1-only-while-an-operation-runs"},
    {"a stop waited its whole bound after an enrollment on an unplugged sensor had failed", Mode::Chip,
     "open unplug enroll:3:1:finger0@wait.8/3000", "stop-answers-minus-1-only-while-an-operation-runs"},
    {"a stop on a disabled device waited its whole bound", Mode::Host, "reconf:0 clean:1:1:1@after/50",
     "stop-answers-minus-1-only-while-an-operation-runs"},
    {"a search after a failed open searched on no sensor", Mode::Chip, "open unplug open search:0:-1:0:stranger1",
     "no-sdk-call-on-a-device-not-open"},
    {"a verify after close captured on no sensor", Mode::Host, "open close verify:1:0:-",
     "no-sdk-call-on-a-device-not-open"},
    {"an open that failed to count the sensor kept the earlier one open, and an enrollment ran on it", Mode::Chip,
     "open sdk:GetDeviceCount:-2 open enroll:0:2:finger1", "no-sdk-call-on-a-device-not-open"},
    {"a failed sensor open kept the SDK set up, so the next open failed and stayed busy", Mode::Host,
     "sdk:OpenDevice:-4 open open", "open-succeeds-on-a-sensor-that-answers"},
    {"a refused SDK set-up left the status busy with no result", Mode::Host, "sdk:GlobalInit:1 open",
     "operation-ends-idle-with-a-result"},
    {"a clean of -1..-1 left the user's finger on the sensor", Mode::Chip, "open enroll:3:0:finger4 clean:3:-1:-1",
     "sensor-holds-what-the-database-lists"},
    {"a clean of 255..255 deleted every finger of the user on the sensor", Mode::Chip,
     "open enroll:1:0:finger0 dbadd:1:255 clean:1:255:255", "sensor-holds-what-the-database-lists"},
    {"index 255 was enrolled as the byte for every finger", Mode::Chip, "open enroll:0:255:finger1",
     "every-listed-finger-has-its-own-place-on-the-sensor"},
    {"index 256 was enrolled onto the finger of index 0", Mode::Chip, "open enroll:1:0:finger0 enroll:1:256:finger1",
     "every-listed-finger-has-its-own-place-on-the-sensor"},
    {"a finger whose record another program removed still verified", Mode::Chip,
     "open enroll:1:0:finger0 dbdel:1:0 verify:1:0:finger0", "only-listed-fingers-match"},
    {"verify of index 1 matched the finger of index 0", Mode::Chip, "open enroll:1:0:finger0 verify:1:1:finger0",
     "only-listed-fingers-match"},
    {"identify of indexes 254..256 matched the finger of index 0", Mode::Chip,
     "open enroll:1:0:finger0 identify:1:254:256:finger0", "only-listed-fingers-match"},
    {"a finger enrolled already was refused and asked for again without end", Mode::Host,
     "open enroll:258:2:finger0 dbadd:2:2 enroll:2:2:finger0", "operation-ends-within-its-bound"},
    {"an enrollment whose extraction kept failing asked for the press again without end (a match-on-chip "
     "sensor whose work-mode query failed, driven in match-on-host mode)",
     Mode::Chip, "sdk:GetDeviceWorkMode:-1 open enroll:0:2:finger3", "operation-ends-within-its-bound"},
    {"a clean of every finger whose database could not be opened had the sensor delete them all the same",
     Mode::Chip, "open enroll:3:2:finger2 db:connect:1 clean:3:0:-1", "sensor-holds-what-the-database-lists"},
    {"a clean whose removal of the records the database refused once left records of deleted fingers",
     Mode::Chip, "open enroll:3:2:finger2 db:clean:1 clean:3:0:-1", "sensor-holds-what-the-database-lists"},
    {"an enrollment of a listed index whose record could not be written deleted the index's only finger",
     Mode::Chip, "open enroll:0:0:finger0 db:row:1 enroll:0:0:finger1", "sensor-holds-what-the-database-lists"},
    {"a search among every user named the record of another user with the same finger id", Mode::Chip,
     "open enroll:258:0:finger0 enroll:0:0:finger1 search:-1:-1:-1:finger1", "only-listed-fingers-match"},
    {"a read of the user's records that failed once let index 256 onto the finger of index 0", Mode::Chip,
     "db:record:2 open enroll:2:0:finger4 enroll:2:256:finger5", "every-listed-finger-has-its-own-place-on-the-sensor"},
    {"a finger enrolled after an open failed to remove an earlier installation's templates went with them at the "
     "next open", Mode::Chip, "sdk:DelOSInfoFpsFroOS:-9 open enroll:3:256:finger3 open",
     "sensor-holds-what-the-database-lists"},
    {"a clean of index 0 of every user deleted the finger of a user's index 256 with it", Mode::Chip,
     "open enroll:1:256:finger4 clean:-1:0:0", "sensor-holds-what-the-database-lists"},
    {"a search told a match and returned no record when the record could not be copied", Mode::Chip,
     "open enroll:2:1:finger0 db:record:2 search:2:1:-1:finger0", "only-listed-fingers-match"},
    {"a clean of index 0 whose read of the records failed once took the finger of index 256 with it", Mode::Chip,
     "open db:sample:2 enroll:0:256:finger4 clean:-1:0:0", "sensor-holds-what-the-database-lists"},
    {"an enrollment of a listed index that failed to write its record left its new finger matching", Mode::Chip,
     "db:store:2 open enroll:1:1:finger0 enroll:1:1:finger1 identify:1:-1:-1:finger1", "only-listed-fingers-match"},
    {"a verify among every user counted the template of a user whose record another program removed", Mode::Chip,
     "open enroll:3:0:finger0 dbdel:3:0 enroll:2:0:finger1 verify:-1:0:finger0", "only-listed-fingers-match"},
    {"an identify among every user counted another user's finger through a record another program added",
     Mode::Chip, "open enroll:258:0:finger0 dbadd:2:256 identify:-1:254:256:finger0", "only-listed-fingers-match"},
};

class Regressions : public testing::TestWithParam<Regression> {};

TEST_P(Regressions, HoldEveryInvariant)
{
    const Regression &r = GetParam();
    std::string error;
    const auto steps = parse_steps(r.steps, &error);
    ASSERT_TRUE(steps) << error;
    const RunReport report = run_sequence(r.mode, *steps, options());
    EXPECT_EQ(report.steps_run, steps->size());
    for (const Finding &f : report.findings)
        ADD_FAILURE() << r.fault << " (kept for " << r.invariant << "): invariant " << f.invariant << " broken at step " << f.step + 1 << ": "
                      << f.detail << "\n  rerun: " << rerun_line(r.mode, *steps);
}

INSTANTIATE_TEST_SUITE_P(FoundFaults, Regressions, testing::ValuesIn(kRegressions),
                         [](const testing::TestParamInfo<Regression> &info) {
                             return "case" + std::to_string(info.index);
                         });

// A finding's rerun line must give back the sequence that failed: every drawn step reads back as written,
// and a mistyped step is refused with the word that is wrong.
TEST(StepText, ReadsBackAsWritten)
{
    for (Mode mode : {Mode::Host, Mode::Chip}) {
        const std::vector<Step> steps = generate(99, 200, mode);
        std::string error;
        const auto parsed = parse_steps(to_text(steps), &error);
        ASSERT_TRUE(parsed) << error;
        EXPECT_EQ(to_text(*parsed), to_text(steps));
    }
    std::string error;
    EXPECT_FALSE(parse_steps("enroll:1", &error));
    EXPECT_EQ(error, "wrong number of fields in 'enroll:1'");
    EXPECT_FALSE(parse_steps("verify:1:0:x@soon/5", &error));
    EXPECT_EQ(error, "bad stop in 'verify:1:0:x@soon/5'");
}

void run_campaign()
{
    const auto begin = std::chrono::steady_clock::now();
    std::vector<Mode> modes;
    if (g_settings.mode != "chip")
        modes.push_back(Mode::Host);
    if (g_settings.mode != "host")
        modes.push_back(Mode::Chip);
    long steps_run = 0;
    long sequences = 0;
    long checks = 0;
    std::set<std::string> checked;
    std::map<std::string, long> findings;
    std::map<std::string, long> known;
    constexpr int kShrunkPerInvariant = 10;
    std::map<std::string, int> shrunk_of;
    std::set<std::string> rerun_lines;
    RunOptions run_options = options();
    run_options.stop_at_first = false;
    for (uint64_t seed = g_settings.seed; steps_run < g_settings.steps; ++seed) {
        const Mode mode = modes[seed % modes.size()];
        const std::vector<Step> steps = generate(seed, g_settings.length, mode);
        const RunReport report = run_sequence(mode, steps, run_options);
        ++sequences;
        steps_run += long(report.steps_run);
        checks += report.checks;
        checked.insert(report.invariants_checked.begin(), report.invariants_checked.end());
        for (const Finding &f : report.known)
            ++known[f.invariant];
        std::set<std::string> shown;
        for (const Finding &f : report.findings) {
            // A sequence's first breach of an invariant is shrunk, and shown when its shrunk sequence is new:
            // two faults may break one invariant. Past a few per invariant, breaches are only counted.
            ++findings[f.invariant];
            if (shrunk_of[f.invariant] < kShrunkPerInvariant && shown.insert(f.invariant).second) {
                ++shrunk_of[f.invariant];
                const std::string text = describe_finding(mode, steps, f, seed);
                if (rerun_lines.insert(text.substr(text.find("rerun:"))).second)
                    std::printf("FINDING %s", text.c_str());
            }
            ADD_FAILURE() << "invariant " << f.invariant << " broken, seed " << seed;
        }
        if (sequences % 500 == 0) {
            // A campaign cut short still leaves its figures so far.
            long found = 0;
            long breaches = 0;
            for (const auto &[name, n] : findings)
                found += n;
            for (const auto &[name, n] : known)
                breaches += n;
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            std::printf("[ campaign ] %ld steps, %ld sequences, %ld checks of %zu invariants, %ld findings, %ld "
                        "known-open breaches, %.0f s\n",
                        steps_run, sequences, checks, checked.size(), found, breaches, s);
            std::fflush(stdout);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    long total_findings = 0;
    for (const auto &[name, n] : findings)
        total_findings += n;
    std::printf("[ campaign ] seed %llu, mode %s, known-faults-open %s\n",
                static_cast<unsigned long long>(g_settings.seed), g_settings.mode.c_str(), known_open_text().c_str());
    std::printf("[ campaign ] steps run %ld, sequences %ld, invariant checks %ld, distinct invariants checked "
                "%zu of %zu, findings %ld, time %.1f s (%.0f steps/s)\n",
                steps_run, sequences, checks, checked.size(), invariant_names().size(), total_findings, seconds,
                double(steps_run) / seconds);
    for (const auto &[name, n] : findings)
        std::printf("[ campaign ]   finding %s: %ld\n", name.c_str(), n);
    for (const auto &[name, n] : known)
        std::printf("[ campaign ]   known-open breach %s: %ld\n", name.c_str(), n);
    for (const std::string &name : invariant_names())
        if (checked.count(name) == 0)
            std::printf("[ campaign ]   never checked: %s\n", name.c_str());
}

void run_one()
{
    std::string error;
    const auto mode = parse_mode(g_settings.mode);
    ASSERT_TRUE(mode) << "--run needs --mode host or --mode chip";
    const auto steps = parse_steps(g_settings.run, &error);
    ASSERT_TRUE(steps) << error;
    RunOptions run_options = options();
    run_options.stop_at_first = false;
    const RunReport report = run_sequence(*mode, *steps, run_options);
    for (const Finding &f : report.known)
        std::printf("known-open breach %s at step %zu: %s\n", f.invariant.c_str(), f.step + 1, f.detail.c_str());
    for (const Finding &f : report.findings)
        ADD_FAILURE() << "invariant " << f.invariant << " broken at step " << f.step + 1 << " ("
                      << to_text((*steps)[f.step]) << "): " << f.detail;
    std::printf("%zu steps run, %ld checks of %zu invariants, %zu findings\n", report.steps_run, report.checks,
                report.invariants_checked.size(), report.findings.size());
}

bool take_flag(const char *arg, const char *name, std::string *value)
{
    const size_t n = std::strlen(name);
    if (std::strncmp(arg, name, n) != 0 || arg[n] != '=')
        return false;
    *value = arg + n + 1;
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    g_program = argv[0];
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        std::string value;
        const bool has_next = i + 1 < args.size();
        const std::string &a = args[i];
        if (take_flag(a.c_str(), "--known-faults-open", &value)) {
            g_settings.known_open.clear();
            if (value == "default")
                g_settings.known_open = default_known_open();
            else if (value != "none")
                for (size_t at = 0; at <= value.size();) {
                    const size_t comma = std::min(value.find(',', at), value.size());
                    g_settings.known_open.insert(value.substr(at, comma - at));
                    at = comma + 1;
                }
        } else if (a == "--steps" && has_next) {
            g_settings.steps = std::atol(args[++i].c_str());
            g_settings.campaign = true;
        } else if (a == "--seed" && has_next) {
            g_settings.seed = std::strtoull(args[++i].c_str(), nullptr, 10);
            g_settings.campaign = true;
        } else if (a == "--mode" && has_next) {
            g_settings.mode = args[++i];
        } else if (a == "--length" && has_next) {
            g_settings.length = std::atoi(args[++i].c_str());
        } else if (a == "--run" && has_next) {
            g_settings.run = args[++i];
        } else if (a == "--no-shrink") {
            g_settings.shrinking = false;
        } else {
            std::fprintf(stderr, "model_tests: unknown argument '%s'\n", a.c_str());
            return 2;
        }
    }
    for (const std::string &name : g_settings.known_open)
        if (std::find(invariant_names().begin(), invariant_names().end(), name) == invariant_names().end()) {
            std::fprintf(stderr, "model_tests: no invariant is named '%s'\n", name.c_str());
            return 2;
        }
    if (!g_settings.run.empty() || g_settings.campaign) {
        if (g_settings.campaign && g_settings.steps <= 0)
            g_settings.steps = 100000;
        testing::GTEST_FLAG(filter) = "Model.Command";
        testing::RegisterTest("Model", "Command", nullptr, nullptr, __FILE__, __LINE__, [] {
            class Command : public testing::Test {
                void TestBody() override { g_settings.run.empty() ? run_campaign() : run_one(); }
            };
            return static_cast<testing::Test *>(new Command);
        });
    }
    return RUN_ALL_TESTS();
}
