// prompts.cpp - enrollment progress from notify ids, and the folding of repeated prompts.
#include "prompts.h"

#include "bio_host.h"

namespace kelvractl {

void EnrollCounter::notify(int mid)
{
    if (mid == kDriverAsksLift && presses_ < kEnrollPresses)
        ++presses_;
    else if (mid == kDriverBuildsTemplate || mid == NOTIFY_ENROLL_SUCCESS)
        presses_ = kEnrollPresses;
}

namespace {

std::string key_of(const Prompt &p) { return std::to_string(p.mid) + '\x1f' + p.text; }

}  // namespace

void PromptFolder::shown(const Prompt &prompt)
{
    if (keys_.size() == 2)
        keys_.erase(keys_.begin());
    keys_.push_back(key_of(prompt));
}

std::vector<FoldedLine> PromptFolder::flush()
{
    std::vector<FoldedLine> out;
    if (suppressed_ == 0)
        return out;
    FoldedLine note;
    note.is_repeat_note = true;
    note.lines = period_;
    note.times = period_ == 1 ? suppressed_ : suppressed_ / 2;
    if (note.times > 0)
        out.push_back(note);
    if (period_ == 2 && suppressed_ % 2 == 1) {
        // The pair stopped after its first line: that line was the last one the driver gave.
        out.push_back(FoldedLine{false, pair_first_, 0, 1});
        shown(pair_first_);
    }
    suppressed_ = 0;
    period_ = 0;
    return out;
}

std::vector<FoldedLine> PromptFolder::add(const Prompt &prompt)
{
    const std::string key = key_of(prompt);
    std::vector<FoldedLine> out;
    if (suppressed_ > 0) {
        const std::string &expected = period_ == 2 && suppressed_ % 2 == 0 ? keys_.front() : keys_.back();
        if (key == expected) {
            ++suppressed_;
            return out;
        }
        out = flush();
    }
    if (!keys_.empty() && key == keys_.back()) {
        period_ = 1;
        suppressed_ = 1;
        return out;
    }
    if (keys_.size() == 2 && key == keys_.front()) {
        period_ = 2;
        suppressed_ = 1;
        pair_first_ = prompt;
        return out;
    }
    out.push_back(FoldedLine{false, prompt, 0, 1});
    shown(prompt);
    return out;
}

std::vector<FoldedLine> PromptFolder::finish() { return flush(); }

}  // namespace kelvractl
