// prompts.h - the driver's prompts as the user sees them: the enrollment's progress counted from the
// notify ids, and repeats folded into one line, as a system log does.
#ifndef KELVRACTL_PROMPTS_H
#define KELVRACTL_PROMPTS_H

#include <optional>
#include <string>
#include <vector>

namespace kelvractl {

// The Kelvra driver's own notify ids (in the host's range for drivers) that mark enrollment progress:
// it asks for the lift after every press it took but the last, and announces the template after the
// last one in match-on-host mode (on the chip the success follows the last press directly). Its
// extended message carries every other text of an enrollment.
inline constexpr int kDriverSays = 9;  // its extended message: the press asked for, or why one was refused
inline constexpr int kDriverAsksLift = 11;
inline constexpr int kDriverBuildsTemplate = 12;
inline constexpr int kEnrollPresses = 6;

// A prompt as it happens: the notify id, its text, and during an enrollment the presses taken so far.
struct Prompt {
    int mid = 0;
    std::string text;
    std::optional<int> presses_done;
};

// Presses an enrollment has taken, from the notify ids alone; a refused press (a duplicate finger, an
// image too poor) is followed by neither.
class EnrollCounter {
public:
    void notify(int mid);
    int presses() const { return presses_; }

private:
    int presses_ = 0;
};

// One line to show: a prompt, or the note that the last line (or the last two, in turn) repeated.
struct FoldedLine {
    bool is_repeat_note = false;
    Prompt prompt;       // a prompt
    int times = 0;       // a note: how often the lines repeated
    int lines = 1;       // a note: 1, or 2 for a pair of prompts that took turns
};

// Folds repeats: a prompt that repeats the last one, or two prompts that keep taking turns (a press
// refused and asked for again), are shown once, and a note says how often when something new comes.
class PromptFolder {
public:
    std::vector<FoldedLine> add(const Prompt &prompt);
    // At the end of an operation: the note on the repeats still pending.
    std::vector<FoldedLine> finish();

private:
    std::vector<FoldedLine> flush();
    void shown(const Prompt &prompt);

    std::vector<std::string> keys_;  // of the last two prompts shown, oldest first
    Prompt pair_first_;              // a pair's first line, shown again when its repeats end half-way
    int period_ = 0;
    int suppressed_ = 0;
};

}  // namespace kelvractl

#endif
