// trace_commands.h - kelvractl trace show|redact: recorded sensor sessions read and shared without a
// driver or a sensor.
#ifndef KELVRACTL_TRACE_COMMANDS_H
#define KELVRACTL_TRACE_COMMANDS_H

#include "kelvra_trace.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace kelvractl {

class Backend;
struct Options;

// The words after "trace": "show FILE", "redact IN OUT" or "frames IN DIR". nullopt when they are whole, otherwise the
// usage error (translated).
std::optional<std::string> check_trace_words(const std::vector<std::string> &words);
// The verbs and their operands, for the usage texts: "show FILE | redact IN OUT | frames IN DIR".
const char *trace_verbs();

// Runs checked words: show prints a header line and one line per entry to out; redact writes OUT and
// says so on out; frames writes DIR (trace_frames.h). Errors go to err. Returns the exit status: 0 done, 2 OUT exists (nothing is written
// over), 3 the trace cannot be read or OUT cannot be written.
int trace_command(const std::vector<std::string> &words, std::FILE *out, std::FILE *err);

int run_trace(Backend &backend, const Options &options);

// For the verbs that write something from a trace. "kelvractl: TEXT" on err.
void trace_error(std::FILE *err, const std::string &text);
// The whole trace IN for a verb that creates `target`, which must not exist: nullopt after saying why on
// err (`refusal` when target exists), with the exit status in status.
std::optional<kelvra::trace::Trace> read_trace_for(const std::string &in, const std::string &target,
                                                   const std::string &refusal, std::FILE *err, int &status);

}  // namespace kelvractl

#endif
