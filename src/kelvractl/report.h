// report.h - what one command did, and how that reads in words and in JSON.
#ifndef KELVRACTL_REPORT_H
#define KELVRACTL_REPORT_H

#include "commands.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvractl {

// Exit statuses. 130 is the shell's for a program ended by SIGINT: a second Ctrl-C ends kelvractl at
// once with it, without waiting for the driver.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNoMatch = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitFailed = 3;
inline constexpr int kExitInterruptedTwice = 130;

enum class Outcome {
    success,
    match,
    no_match,
    not_enrolled,  // verify of an index that holds no finger
    nothing_to_delete,  // clean of indexes that hold no finger: the driver was not asked
    refused,       // the request itself cannot be carried out as given (an index in use)
    usage,         // the command line is wrong
    failed,
    timeout,
    stopped,
    disabled,
    busy,          // another program holds the sensor
    error
};

std::string_view outcome_name(Outcome outcome);
// 0 success or match, 1 no match, 2 bad usage or a refused request, 3 anything that did not complete.
int exit_status(Outcome outcome);

struct Record {
    int uid = 0;
    int index = 0;
    std::string index_name;
    int samples = 0;
};

struct Report {
    Command command = Command::help;
    Outcome outcome = Outcome::error;
    // The driver's side, for commands that ran an operation.
    int result = -1;                    // last result it set (-1: none)
    int notify = -1;                    // last notify id
    int status = -1;                    // device status afterwards
    std::vector<int> notifies;          // every notify id, in order
    std::vector<std::string> messages;  // the prompts shown, in order, repeats folded
    std::vector<Record> records;
    int presses = 0;                    // enroll: presses the driver took
    // What was asked, for the words of the outcome.
    int uid = -1;                       // -1: every user
    std::optional<int> index;
    std::string name;
    int from = 0;
    int to = -1;
    // What came of it.
    std::optional<int> matched_uid;
    std::optional<int> devices;
    std::optional<int> owner_pid;       // busy: the program that holds the sensor, when known
    bool replaced = false;              // enroll --replace deleted the finger first
    std::string line;                   // finger: what was sent
    std::string answer;                 // finger: the sensor's answer
    std::string detail;                 // why it did not succeed, in words
};

// The outcome in words, translated; one or more lines without a final newline.
std::string report_words(const Report &report);
// One JSON object: command, outcome, exit_status, the command's own fields of the table, and error
// when there is a detail.
std::string report_json(const Report &report);

}  // namespace kelvractl

#endif
