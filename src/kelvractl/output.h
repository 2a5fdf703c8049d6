// output.h - what kelvractl shows: prompts as they happen, and each command's outcome in words or JSON.
#ifndef KELVRACTL_OUTPUT_H
#define KELVRACTL_OUTPUT_H

#include "prompts.h"
#include "report.h"

#include <cstdio>
#include <string>

namespace kelvractl {

class Printer {
public:
    // out is the process's real standard output (the driver's own printing is kept off it).
    Printer(std::FILE *out, bool json) : out_(out), json_(json) {}

    bool json() const { return json_; }
    // Prompts go to the user: on standard output in words, on standard error next to JSON output.
    void prompt(const FoldedLine &line, const char *indent = "  ");
    // A line of kelvractl's own for the user (suppressed with --json).
    void note(const std::string &line);
    // The command's outcome: words, or one JSON object.
    void report(const Report &report);
    // What stopped a command before its operation: one line on standard error, or the JSON object.
    void failure(const Report &report);
    // A JSON object built elsewhere (the demo).
    void raw_json(const std::string &object);

private:
    std::FILE *out_;
    bool json_;
};

}  // namespace kelvractl

#endif
