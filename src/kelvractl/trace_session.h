// trace_session.h - kelvractl's side of recorded sessions: the recorder it loads in place of the SDK,
// what a trace keeps of the host (its command, its database before, its journal after), and the
// verdict of a replay.
#ifndef KELVRACTL_TRACE_SESSION_H
#define KELVRACTL_TRACE_SESSION_H

#include "kelrec_control.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvractl {

// Names of the sections kelvractl stores with a session.
inline constexpr char kCommandSection[] = "command";
inline constexpr char kDatabaseSection[] = "database";
inline constexpr char kConfigSection[] = "config";
inline constexpr char kJournalSection[] = "journal";

// The recorder's control calls, looked up by the names of kelrec_control.h with its types.
class TraceRecorder {
public:
    // Loads the recorder by its full path before the driver module, so the module's NEEDED
    // libKelDactylen.so is the recorder; nullptr with a reason.
    static std::unique_ptr<TraceRecorder> load(const std::string &path, std::string &error);

    bool configure(const std::string &sdk_path, const std::string &trace_path, std::string &error) const;
    bool add_section(const std::string &name, const std::vector<std::uint8_t> &content, std::string &error) const;
    void record_stop() const;
    std::uint64_t calls() const;
    bool finish(std::string &error) const;

private:
    decltype(&kelrec_configure) configure_ = nullptr;
    decltype(&kelrec_add_section) add_section_ = nullptr;
    decltype(&kelrec_record_stop) record_stop_ = nullptr;
    decltype(&kelrec_calls) calls_ = nullptr;
    decltype(&kelrec_finish) finish_ = nullptr;
};

// The command line words are stored NUL-terminated one after the other, the journal one line per
// change.
std::vector<std::uint8_t> encode_words(const std::vector<std::string> &words);
std::vector<std::string> decode_words(const std::vector<std::uint8_t> &content);
std::vector<std::uint8_t> encode_lines(const std::vector<std::string> &lines);
std::vector<std::string> decode_lines(const std::vector<std::uint8_t> &content);

// What a replay needs from a trace besides its calls.
struct ReplayPlan {
    std::vector<std::string> command;                    // the words after "kelvractl"
    std::optional<std::vector<std::uint8_t>> database;  // the host database file before the session
    std::optional<std::vector<std::uint8_t>> config;    // the --config key file it ran with
    std::vector<std::string> journal;                    // the host journal after it
};
// nullopt with a reason (translated) when the trace cannot be read, is redacted or keeps no command.
std::optional<ReplayPlan> read_replay_plan(const std::string &path, std::string &error);

// The first line where two journals part, 1-based, with what each holds there ("" past its end);
// nullopt when they are identical.
struct JournalDifference {
    std::size_t line = 0;
    std::string recorded;
    std::string replayed;
};
std::optional<JournalDifference> compare_journals(const std::vector<std::string> &recorded,
                                                  const std::vector<std::string> &replayed);

}  // namespace kelvractl

#endif
