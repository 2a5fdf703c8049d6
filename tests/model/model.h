// model.h - random operation sequences on one simulated device, checked against what the host and the
// user must always be able to rely on, whatever came before.
#ifndef KELVRA_MODEL_H
#define KELVRA_MODEL_H

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace model {

enum class Mode { Host, Chip };

enum class Kind {
    Open, Close, Reconfigure, Enroll, Verify, Identify, Search, List, Clean,
    Unplug, Replug, SdkFault, DbFault, DbRemove, DbAdd,
};

// When the second thread asks the operation to stop.
enum class StopAt {
    None,
    Before,  // before the operation is called, while nothing runs
    Entry,   // at the operation's first pause or capture (an enrollment's or a clean's entry pause)
    Wait,    // at the operation's nth pause or capture
    Walk,    // after its nth comparison (a walk over stored templates, an on-chip match)
    After,   // once the operation has returned
};

struct Step {
    Kind kind = Kind::Open;
    int uid = 0;
    int first = 0;        // enroll / verify: the index; identify, search, list, clean: the range
    int last = 0;
    std::string finger;   // the finger that presses during the operation; empty: none
    int value = 0;        // reconfigure: enabled; sdk fault: the call; db fault: the point
    int code = 0;         // sdk fault: its return code; db fault: which call from now fails
    StopAt stop = StopAt::None;
    int stop_nth = 0;
    int stop_wait_ms = 0;
};

std::string to_text(const Step &step);
std::string to_text(const std::vector<Step> &steps);
// Parses what to_text wrote; nullopt with why in error.
std::optional<std::vector<Step>> parse_steps(std::string_view text, std::string *error);
std::string mode_name(Mode mode);
std::optional<Mode> parse_mode(std::string_view text);

// A sequence of count steps drawn from seed.
std::vector<Step> generate(uint64_t seed, int count, Mode mode);

struct Finding {
    std::string invariant;
    size_t step = 0;      // index of the step after which it was seen
    std::string detail;
};

struct RunOptions {
    // Invariants whose breaches are counted and shown but do not fail the run.
    std::set<std::string> known_open;
    // Stop at the first finding that is not known open.
    bool stop_at_first = true;
};

struct RunReport {
    std::vector<Finding> findings;        // not known open
    std::vector<Finding> known;           // known open
    long checks = 0;                      // invariant evaluations
    std::set<std::string> invariants_checked;
    size_t steps_run = 0;
};

RunReport run_sequence(Mode mode, const std::vector<Step> &steps, const RunOptions &options);

// The shortest sub-sequence found (removing steps) that still breaks the same invariant, and that breach.
std::vector<Step> shrink(Mode mode, const std::vector<Step> &steps, const std::string &invariant,
                         const RunOptions &options, int *runs, Finding *breach);

// Every invariant by name, and those the current driver is known to break.
const std::vector<std::string> &invariant_names();
std::set<std::string> default_known_open();

}  // namespace model

#endif
