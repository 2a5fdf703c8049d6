// prompts_test.cpp - enrollment progress counted from notify ids alone, and repeated prompts folded.
#include "prompts.h"

#include "bio_host.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kelvractl::EnrollCounter;
using kelvractl::FoldedLine;
using kelvractl::Prompt;
using kelvractl::PromptFolder;

// The presses after each notify id of a sequence.
std::vector<int> presses_after(const std::vector<int> &mids)
{
    EnrollCounter counter;
    std::vector<int> out;
    for (const int mid : mids) {
        counter.notify(mid);
        out.push_back(counter.presses());
    }
    return out;
}

TEST(EnrollCounter, CountsThePressesTheDriverTookAndNoneItRefused)
{
    constexpr int says = kelvractl::kDriverSays;
    constexpr int lift = kelvractl::kDriverAsksLift;
    constexpr int build = kelvractl::kDriverBuildsTemplate;
    struct Case {
        const char *what;
        std::vector<int> mids;
        std::vector<int> presses;
    };
    const std::vector<Case> cases = {
        {"host mode, a press refused as a duplicate and one too poor",
         {says, lift, says, says, says, lift, says, says, lift, says, lift, says, lift, says, build, NOTIFY_ENROLL_SUCCESS},
         {0, 1, 1, 1, 1, 2, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6}},
        {"chip mode: the success follows the sixth press",
         {says, lift, says, lift, says, lift, says, lift, says, lift, says, NOTIFY_ENROLL_SUCCESS},
         {0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6}},
        {"refused at once", {says, says, NOTIFY_COMM_STOP_BY_USER}, {0, 0, 0}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(presses_after(c.mids), c.presses) << c.what;
}

// Folded output as words: a prompt's text, or "xN" / "2xN" for a note on repeats.
std::vector<std::string> folded(const std::vector<std::string> &texts)
{
    PromptFolder folder;
    std::vector<std::string> out;
    auto take = [&](const std::vector<FoldedLine> &lines) {
        for (const FoldedLine &l : lines)
            out.push_back(l.is_repeat_note ? (l.lines == 2 ? "2x" : "x") + std::to_string(l.times) : l.prompt.text);
    };
    for (const std::string &text : texts)
        take(folder.add(Prompt{kelvractl::kDriverSays, text, std::nullopt}));
    take(folder.finish());
    return out;
}

TEST(PromptFolder, ShowsEachChangeOnceAndCountsTheRepeats)
{
    struct Case {
        std::vector<std::string> in;
        std::vector<std::string> out;
    };
    const std::vector<Case> cases = {
        {{"a", "b", "c"}, {"a", "b", "c"}},
        {{"a", "a", "a", "b"}, {"a", "x2", "b"}},
        {{"a", "e", "e", "e", "e"}, {"a", "e", "x3"}},
        // Two prompts taking turns (a press asked for and refused) fold as a pair.
        {{"ask", "no", "ask", "no", "ask", "no", "done"}, {"ask", "no", "2x2", "done"}},
        // A pair that stops after its first line shows that line again: it was the last one said.
        {{"ask", "no", "ask", "no", "ask", "done"}, {"ask", "no", "2x1", "ask", "done"}},
        {{"ask", "no", "ask", "done"}, {"ask", "no", "ask", "done"}},
        {{"a", "b", "a", "a"}, {"a", "b", "a", "x1"}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(folded(c.in), c.out) << ::testing::PrintToString(c.in);

    // The same text under another notify id is another prompt.
    PromptFolder folder;
    folder.add(Prompt{kelvractl::kDriverSays, "same", std::nullopt});
    EXPECT_EQ(folder.add(Prompt{kelvractl::kDriverAsksLift, "same", std::nullopt}).size(), 1u);
}

}  // namespace
