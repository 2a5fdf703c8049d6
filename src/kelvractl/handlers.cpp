// handlers.cpp - what each command does: the checks around the driver's operation that make its
// outcome honest (an index in use, an index without a finger), then the operation itself.
#include "handlers.h"

#include "backend.h"
#include "i18n.h"

#include <algorithm>

namespace kelvractl {

namespace {

int shown(Backend &backend, const Report &report)
{
    backend.show(report);
    return exit_status(report.outcome);
}

// A look-up that failed ends the command that needed it, with the look-up's reason.
int failed_lookup(Backend &backend, Report lookup, Command command)
{
    lookup.command = command;
    lookup.records.clear();
    return shown(backend, lookup);
}

const Record *record_at(const std::vector<Record> &records, int index)
{
    const auto it = std::find_if(records.begin(), records.end(), [&](const Record &r) { return r.index == index; });
    return it != records.end() ? &*it : nullptr;
}

// An outcome kelvractl decides itself from what was asked, without an operation of the driver.
Report answered_here(Command command, Outcome outcome, const Options &o)
{
    Report r;
    r.command = command;
    r.outcome = outcome;
    r.uid = *o.uid;
    r.index = o.index;
    r.name = o.name.value_or("");
    r.from = o.from;
    r.to = o.to;
    return r;
}

Report refusal(Command command, const Options &o, std::string why)
{
    Report r = answered_here(command, Outcome::refused, o);
    r.detail = std::move(why);
    return r;
}

}  // namespace

int run_discover(Backend &backend, const Options &) { return shown(backend, backend.discover()); }

int run_enroll(Backend &backend, const Options &o)
{
    const int uid = *o.uid;
    // The driver adds a record whatever the index holds; the host decides what an index may take.
    const Report enrolled = backend.stored(uid, 0, -1);
    if (enrolled.outcome != Outcome::success)
        return failed_lookup(backend, enrolled, Command::enroll);

    int index = 0;
    bool replacing = false;
    if (o.index) {
        index = *o.index;
        if (const Record *taken = record_at(enrolled.records, index)) {
            if (!o.replace)
                return shown(backend, refusal(Command::enroll, o,
                                              strf(tr("finger %d of user %d is enrolled already (\"%s\"); give "
                                                      "--replace to enroll it anew"),
                                                   index, uid, taken->index_name.c_str())));
            const Report cleaned = backend.clean(uid, index, index);
            if (cleaned.outcome != Outcome::success)
                return failed_lookup(backend, cleaned, Command::enroll);
            backend.note(strf(tr("Deleted finger %d of user %d to enroll it anew."), index, uid));
            replacing = true;
        }
    } else {
        while (index <= kMaxFingerIndex && record_at(enrolled.records, index) != nullptr)
            ++index;
        if (index > kMaxFingerIndex)
            return shown(backend, refusal(Command::enroll, o,
                                          strf(tr("user %d has no free finger index (0 to %d hold fingers)"), uid,
                                               kMaxFingerIndex)));
    }
    backend.note(strf(tr("Enrolling finger %d of user %d; press the finger six times."), index, uid));
    Report report = backend.enroll(uid, index, *o.name);
    report.replaced = replacing;
    return shown(backend, report);
}

int run_verify(Backend &backend, const Options &o)
{
    const Report enrolled = backend.stored(*o.uid, *o.index, *o.index);
    if (enrolled.outcome != Outcome::success)
        return failed_lookup(backend, enrolled, Command::verify);
    if (enrolled.records.empty())
        return shown(backend, answered_here(Command::verify, Outcome::not_enrolled, o));
    backend.note(tr("Place your finger on the sensor."));
    return shown(backend, backend.verify(*o.uid, *o.index));
}

int run_identify(Backend &backend, const Options &o)
{
    backend.note(tr("Place your finger on the sensor."));
    return shown(backend, backend.identify(*o.uid, o.from, o.to));
}

int run_search(Backend &backend, const Options &o)
{
    backend.note(tr("Place your finger on the sensor."));
    return shown(backend, backend.search(*o.uid, o.from, o.to));
}

int run_list(Backend &backend, const Options &o) { return shown(backend, backend.list(*o.uid, o.from, o.to)); }

int run_clean(Backend &backend, const Options &o)
{
    // Indexes that hold no finger need no operation. On a sensor that keeps the fingers itself the
    // driver deletes what the database lists in part of the range, and it cannot tell a range that
    // lists nothing from a database it could not read, so it would fail such a clean. A clean of every
    // index always goes to the driver: it also lets the sensor drop fingers the database no longer lists.
    const bool every_index = o.from <= 0 && o.to == -1;
    if (!every_index) {
        const Report listed = backend.stored(*o.uid, o.from, o.to);
        if (listed.outcome != Outcome::success)
            return failed_lookup(backend, listed, Command::clean);
        if (listed.records.empty())
            return shown(backend, answered_here(Command::clean, Outcome::nothing_to_delete, o));
    }
    return shown(backend, backend.clean(*o.uid, o.from, o.to));
}

int run_demo(Backend &backend, const Options &) { return backend.demo(); }

int run_finger(Backend &backend, const Options &o)
{
    std::string line;
    for (const auto &word : o.finger_words)
        line += (line.empty() ? "" : " ") + word;
    return shown(backend, backend.hand_control(line));
}

int run_replay(Backend &backend, const Options &o) { return backend.replay(o.replay_file); }

int run_help(Backend &backend, const Options &o)
{
    backend.print_help(usage_text(o.help_topic, backend.defaults()));
    return kExitOk;
}

}  // namespace kelvractl
