// output.cpp - kelvractl's prompts, progress bar and outcome texts.
#include "output.h"

#include "json.h"

namespace kelvractl {

namespace {

constexpr int kPresses = 6;

std::string progress_bar(int done)
{
    std::string bar = "[";
    for (int i = 0; i < kPresses; ++i)
        bar += i < done ? '#' : '-';
    bar += "] " + std::to_string(done) + "/" + std::to_string(kPresses);
    return bar;
}

std::string records_words(const std::vector<Record> &records)
{
    std::string out;
    for (const Record &r : records) {
        out += "  uid " + std::to_string(r.uid) + "  index " + std::to_string(r.index) + "  \"" + r.index_name +
               "\"  " + std::to_string(r.samples) + (r.samples == 1 ? " sample\n" : " samples\n");
    }
    return out;
}

std::string plural(std::size_t n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

void Printer::prompt(const Prompt &p, const char *indent)
{
    std::FILE *to = json_ ? stderr : out_;
    if (p.text.empty())
        return;
    if (p.presses_done)
        std::fprintf(to, "%s%s  %s\n", indent, progress_bar(*p.presses_done).c_str(), p.text.c_str());
    else
        std::fprintf(to, "%s%s\n", indent, p.text.c_str());
    std::fflush(to);
}

void Printer::note(const std::string &line)
{
    if (json_)
        return;
    std::string text = line;
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
}

void Printer::raw_json(const std::string &object)
{
    std::fprintf(out_, "%s\n", object.c_str());
    std::fflush(out_);
}

void Printer::report(const Report &r)
{
    if (json_)
        raw_json(report_json(r));
    else
        note(report_words(r));
}

std::string records_json(const std::vector<Record> &records)
{
    std::string out = "[";
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i > 0)
            out += ',';
        JsonObject o;
        o.add("uid", records[i].uid)
            .add("index", records[i].index)
            .add("index_name", std::string_view(records[i].index_name))
            .add("samples", records[i].samples);
        out += o.str();
    }
    return out + "]";
}

std::string report_json(const Report &r)
{
    JsonObject o;
    o.add("command", std::string_view(r.command)).add("outcome", outcome_name(r.outcome));
    o.add("exit_status", exit_status(r.outcome));
    o.add("result", r.result).add("notify", r.notify).add("status", r.status);
    std::string notifies = "[";
    for (std::size_t i = 0; i < r.notifies.size(); ++i)
        notifies += (i > 0 ? "," : "") + std::to_string(r.notifies[i]);
    o.add_raw("notifies", notifies + "]");
    std::string messages = "[";
    for (std::size_t i = 0; i < r.messages.size(); ++i)
        messages += (i > 0 ? "," : "") + json_string(r.messages[i]);
    o.add_raw("messages", messages + "]");
    o.add_raw("records", records_json(r.records));
    if (r.matched_uid)
        o.add("uid", *r.matched_uid);
    if (r.devices)
        o.add("devices", *r.devices);
    if (r.owner_pid)
        o.add("owner_pid", *r.owner_pid);
    if (!r.detail.empty())
        o.add("error", std::string_view(r.detail));
    return o.str();
}

std::string report_words(const Report &r)
{
    const std::string &c = r.command;
    switch (r.outcome) {
    case Outcome::success:
        if (c == "discover")
            return "Found " + plural(static_cast<std::size_t>(r.devices.value_or(0)), "sensor.", "sensors.");
        if (c == "enroll")
            return "Enrolled " + r.subject + ".";
        if (c == "list")
            return r.records.empty() ? std::string("No enrolled fingers.")
                                     : plural(r.records.size(), "enrolled finger:\n", "enrolled fingers:\n") +
                                           records_words(r.records);
        if (c == "clean")
            return "Deleted " + r.subject + ".";
        return "Done.";
    case Outcome::match:
        if (c == "verify")
            return "Match: the finger belongs to user " + std::to_string(r.matched_uid.value_or(-1)) + ".";
        if (c == "identify")
            return r.matched_uid.value_or(-1) >= 0
                       ? "Identified: the finger belongs to user " + std::to_string(*r.matched_uid) + "."
                       : std::string("Identified: the finger belongs to one of the enrolled users.");
        return "Found " + plural(r.records.size(), "matching finger:\n", "matching fingers:\n") +
               records_words(r.records);
    case Outcome::no_match:
        if (c == "verify")
            return "No match: the finger is not " + r.subject + ".";
        if (c == "identify")
            return "Not identified: the finger belongs to none of the enrolled users.";
        return "No matching finger.";
    case Outcome::timeout:
        return "Timed out: " + r.detail + ".";
    case Outcome::stopped:
        return "Stopped by the user.";
    case Outcome::disabled:
    case Outcome::busy:
        return "Not done: " + r.detail + ".";
    case Outcome::failed:
    case Outcome::error:
        break;
    }
    return "Failed: " + (r.detail.empty() ? std::string("the operation did not complete") : r.detail);
}

}  // namespace kelvractl
