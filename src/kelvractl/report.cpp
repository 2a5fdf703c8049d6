// report.cpp - a command's outcome in words (translated) and as the JSON object of its table row.
#include "report.h"

#include "i18n.h"
#include "json.h"

#include <string_view>

namespace kelvractl {

std::string_view outcome_name(Outcome outcome)
{
    switch (outcome) {
    case Outcome::success: return "success";
    case Outcome::match: return "match";
    case Outcome::no_match: return "no-match";
    case Outcome::not_enrolled: return "not-enrolled";
    case Outcome::nothing_to_delete: return "nothing-to-delete";
    case Outcome::refused: return "refused";
    case Outcome::usage: return "usage";
    case Outcome::failed: return "failed";
    case Outcome::timeout: return "timeout";
    case Outcome::stopped: return "stopped";
    case Outcome::disabled: return "disabled";
    case Outcome::busy: return "busy";
    case Outcome::error: return "error";
    }
    return "error";
}

int exit_status(Outcome outcome)
{
    switch (outcome) {
    case Outcome::success:
    case Outcome::match:
    case Outcome::nothing_to_delete:
        return kExitOk;
    case Outcome::no_match:
    case Outcome::not_enrolled:
        return kExitNoMatch;
    case Outcome::refused:
    case Outcome::usage:
        return kExitUsage;
    default:
        return kExitFailed;
    }
}

namespace {

std::string records_words(const std::vector<Record> &records)
{
    std::string out;
    for (const Record &r : records)
        out += "\n" + strf(tr_n("  uid %d  index %d  \"%s\"  %d sample", "  uid %d  index %d  \"%s\"  %d samples",
                                static_cast<unsigned long>(r.samples)),
                           r.uid, r.index, r.index_name.c_str(), r.samples);
    return out;
}

// "the fingers of user 7", "finger 2 of every user", ... for clean.
std::string range_words(const Report &r)
{
    const std::string who = r.uid == -1 ? std::string(tr("every user")) : strf(tr("user %d"), r.uid);
    std::string which;
    if (r.from == 0 && r.to == -1)
        which = tr("the fingers");
    else if (r.from == r.to)
        which = strf(tr("finger %d"), r.from);
    else if (r.to == -1)
        which = strf(tr("fingers %d and up"), r.from);
    else
        which = strf(tr("fingers %d to %d"), r.from, r.to);
    return strf(tr("%1$s of %2$s"), which.c_str(), who.c_str());
}

std::string success_words(const Report &r)
{
    switch (r.command) {
    case Command::discover: {
        const int n = r.devices.value_or(0);
        return strf(tr_n("Found %d sensor.", "Found %d sensors.", static_cast<unsigned long>(n)), n);
    }
    case Command::enroll:
        return strf(tr("Enrolled finger %d (\"%s\") of user %d."), r.index.value_or(-1), r.name.c_str(), r.uid);
    case Command::list:
        if (r.records.empty())
            return tr("No enrolled fingers.");
        return strf(tr_n("%zu enrolled finger:", "%zu enrolled fingers:", r.records.size()), r.records.size()) +
               records_words(r.records);
    case Command::clean:
        return strf(tr("Deleted %s."), range_words(r).c_str());
    case Command::finger:
        return r.answer;
    default:
        return tr("Done.");
    }
}

std::string match_words(const Report &r)
{
    switch (r.command) {
    case Command::verify:
        return strf(tr("Match: the finger belongs to user %d."), r.matched_uid.value_or(r.uid));
    case Command::identify:
        // The sensor matches without naming the user, so on the chip a match among every user has none.
        if (r.matched_uid.value_or(-1) >= 0)
            return strf(tr("Identified: the finger belongs to user %d."), *r.matched_uid);
        return tr("Identified: the finger belongs to one of the enrolled users.");
    default:
        return strf(tr_n("Found %zu matching finger:", "Found %zu matching fingers:", r.records.size()),
                    r.records.size()) +
               records_words(r.records);
    }
}

std::string no_match_words(const Report &r)
{
    switch (r.command) {
    case Command::verify:
        return strf(tr("No match: the finger is not finger %d of user %d."), r.index.value_or(-1), r.uid);
    case Command::identify:
        // Among one user's fingers a miss says nothing about the other users.
        if (r.uid == -1)
            return tr("Not identified: the finger belongs to none of the enrolled users.");
        return strf(tr("Not identified: the finger is none of user %d's fingers."), r.uid);
    default:
        return tr("No matching finger.");
    }
}

}  // namespace

std::string report_words(const Report &r)
{
    switch (r.outcome) {
    case Outcome::success: return success_words(r);
    case Outcome::match: return match_words(r);
    case Outcome::no_match: return no_match_words(r);
    case Outcome::not_enrolled:
        return strf(tr("No match: user %d has no finger at index %d."), r.uid, r.index.value_or(-1));
    case Outcome::nothing_to_delete:
        return strf(tr("Nothing to delete: no finger is enrolled among %s."), range_words(r).c_str());
    case Outcome::timeout: return strf(tr("Timed out: %s."), r.detail.c_str());
    case Outcome::stopped: return tr("Stopped by the user.");
    case Outcome::refused:
    case Outcome::disabled:
    case Outcome::busy: return strf(tr("Not done: %s."), r.detail.c_str());
    case Outcome::usage:
    case Outcome::failed:
    case Outcome::error: break;
    }
    return strf(tr("Failed: %s"), r.detail.empty() ? tr("the operation did not complete") : r.detail.c_str());
}

namespace {

std::string int_list(const std::vector<int> &values)
{
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i)
        out += (i > 0 ? "," : "") + std::to_string(values[i]);
    return out + "]";
}

std::string records_json(const std::vector<Record> &records)
{
    std::string out = "[";
    for (std::size_t i = 0; i < records.size(); ++i) {
        JsonObject o;
        o.add("uid", records[i].uid)
            .add("index", records[i].index)
            .add("index_name", std::string_view(records[i].index_name))
            .add("samples", records[i].samples);
        out += (i > 0 ? "," : "") + o.str();
    }
    return out + "]";
}

void add_optional(JsonObject &o, std::string_view key, const std::optional<int> &value)
{
    if (value)
        o.add(key, *value);
    else
        o.add_raw(key, "null");
}

// One member of the table's JSON fields.
void add_field(JsonObject &o, std::string_view field, const Report &r)
{
    if (field == "result") {
        o.add(field, r.result);
    } else if (field == "notify") {
        o.add(field, r.notify);
    } else if (field == "status") {
        o.add(field, r.status);
    } else if (field == "notifies") {
        o.add_raw(field, int_list(r.notifies));
    } else if (field == "messages") {
        std::string messages = "[";
        for (std::size_t i = 0; i < r.messages.size(); ++i)
            messages += (i > 0 ? "," : "") + json_string(r.messages[i]);
        o.add_raw(field, messages + "]");
    } else if (field == "records") {
        o.add_raw(field, records_json(r.records));
    } else if (field == "owner_pid") {
        add_optional(o, field, r.owner_pid);
    } else if (field == "devices") {
        add_optional(o, field, r.devices);
    } else if (field == "uid") {
        // Who the outcome names: the user matched, or the one enrolled.
        add_optional(o, field, r.command == Command::enroll ? std::optional<int>(r.uid) : r.matched_uid);
    } else if (field == "index") {
        add_optional(o, field, r.index);
    } else if (field == "presses") {
        o.add(field, r.presses);
    } else if (field == "replaced") {
        o.add_bool(field, r.replaced);
    } else if (field == "line") {
        o.add(field, std::string_view(r.line));
    } else if (field == "answer") {
        o.add(field, std::string_view(r.answer));
    }
}

}  // namespace

std::string report_json(const Report &r)
{
    JsonObject o;
    o.add("command", row_of(r.command).name).add("outcome", outcome_name(r.outcome));
    o.add("exit_status", exit_status(r.outcome));
    for (const char *field : row_of(r.command).json)
        add_field(o, field, r);
    if (!r.detail.empty())
        o.add("error", std::string_view(r.detail));
    return o.str();
}

}  // namespace kelvractl
