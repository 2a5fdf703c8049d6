// replay.cpp - the sensor answering from a recorded trace: the same calls in the same order get the
// recorded outputs and return codes, and the first call that differs ends the replay with a message
// that names the call and the argument.
#include "replay.h"

#include "vs_internal.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>

namespace kelvs {

namespace trace = kelvra::trace;

namespace {

std::atomic<bool> g_loaded{false};

struct Replay {
    std::unique_ptr<trace::Reader> reader;
    bool timed = false;
    int64_t start_us = 0;
    // The functions of the last two calls answered: a call that repeats one of them is a step of a loop.
    std::optional<trace::Function> previous[2];
    trace::SdkSession session;
    std::optional<trace::Call> next;  // the recorded call the driver's next call must match
    bool at_end = false;              // nothing follows next
    std::string read_error;           // why the trace could not be read to its end
    uint64_t calls_read = 0;
    uint64_t answered = 0;
    bool diverged = false;
    std::string message;
    // Events that happened while the recorded host was inside the next call.
    std::vector<trace::Event> due_in_next;
};

struct ReplayShared {
    std::mutex mu;
    std::unique_ptr<Replay> replay;
    kelvs_replay_event_listener listener = nullptr;
    void *listener_user = nullptr;
};

ReplayShared &shared()
{
    static ReplayShared *s = new ReplayShared;
    return *s;
}

// Reads on to the next recorded call. Events in between are the recorded host's: one that came while
// that next call was running is due during it, one that came between two calls is due before the call
// just answered returns (added to now).
void advance(Replay &r, std::vector<trace::Event> &now)
{
    r.next.reset();
    std::vector<trace::Event> events;
    while (!r.at_end) {
        std::string error;
        std::optional<trace::Entry> entry = r.reader->next(error);
        if (!entry) {
            r.at_end = true;
            r.read_error = error;
            break;
        }
        if (auto *call = std::get_if<trace::Call>(&*entry)) {
            r.next = std::move(*call);
            ++r.calls_read;
            break;
        }
        if (auto *event = std::get_if<trace::Event>(&*entry))
            events.push_back(*event);
    }
    for (const trace::Event &e : events) {
        if (r.next && r.next->start_ns <= e.time_ns)
            r.due_in_next.push_back(e);
        else
            now.push_back(e);
    }
}

void diverge(Replay &r, uint64_t index, const std::string &what)
{
    r.diverged = true;
    r.message = "call " + std::to_string(index) + ": " + what;
    std::fprintf(stderr, "virtual sensor: replay ended: %s\n", r.message.c_str());
}

void sleep_until(int64_t when_us)
{
    const int64_t left = when_us - now_us();
    if (left > 0)
        sleep_us(left);
}

void copy_text(const std::string &text, char *out, size_t size)
{
    if (out == nullptr || size == 0)
        return;
    const size_t n = std::min(text.size(), size - 1);
    text.copy(out, n);
    out[n] = '\0';
}

}  // namespace

bool replay_loaded() { return g_loaded.load(std::memory_order_acquire); }

int replay_answer(const std::function<trace::SdkCall(trace::SdkSession &)> &build)
{
    ReplayShared &s = shared();
    std::vector<trace::Event> events;
    int64_t origin = 0, start_at = 0, end_at = 0;
    bool timed = false;
    int rc = 0;
    kelvs_replay_event_listener listener = nullptr;
    void *listener_user = nullptr;
    {
        std::lock_guard lock(s.mu);
        if (!s.replay)
            return KELVS_ERR_REPLAY;
        Replay &r = *s.replay;
        if (r.diverged)
            return KELVS_ERR_REPLAY;
        const trace::SdkCall call = build(r.session);
        const uint64_t index = r.answered + 1;
        if (!r.next) {
            const std::string made = trace::call_made(call.function, call.inputs);
            diverge(r, index,
                    r.read_error.empty() ? "the trace ends, the driver called " + made
                                         : "the trace cannot be read further (" + r.read_error +
                                               "), the driver called " + made);
            return KELVS_ERR_REPLAY;
        }
        if (const std::string difference = trace::difference(*r.next, call.function, call.inputs);
            !difference.empty()) {
            diverge(r, index, difference);
            return KELVS_ERR_REPLAY;
        }
        trace::write_outputs(r.session, call, r.next->outputs);
        r.session.observe(call, r.next->rc);
        rc = r.next->rc;
        r.answered = index;
        timed = r.timed;
        // The driver measures a time-out from where a loop begins: after its set-up, after a pause. Time
        // the host or the driver spent beyond the recording before that carries into the loop, which
        // then finds its calls answered early and its time-out reached late, and calls once more than
        // the recording. So a late call that begins something new moves the recorded times on by its
        // lateness; a late step of a loop is caught up instead, as the driver's clock runs on.
        const bool loop_step = r.previous[0] == r.next->function || r.previous[1] == r.next->function;
        if (timed && !loop_step) {
            const int64_t late_us = now_us() - (r.start_us + r.next->start_ns / 1000);
            if (late_us > 0)
                r.start_us += late_us;
        }
        r.previous[1] = r.previous[0];
        r.previous[0] = r.next->function;
        origin = r.start_us;
        start_at = r.start_us + r.next->start_ns / 1000;
        end_at = r.start_us + r.next->end_ns / 1000;
        events = std::move(r.due_in_next);
        r.due_in_next.clear();
        advance(r, events);
        listener = s.listener;
        listener_user = s.listener_user;
    }
    if (timed)
        sleep_until(start_at);
    for (const trace::Event &e : events) {
        if (timed)
            sleep_until(origin + e.time_ns / 1000);
        if (listener != nullptr) {
            const kelvs_replay_event event{KELVS_REPLAY_EVENT_STOP, e.after_calls};
            listener(&event, listener_user);
        }
    }
    if (timed)
        sleep_until(end_at);
    return rc;
}

void replay_stop()
{
    ReplayShared &s = shared();
    std::lock_guard lock(s.mu);
    g_loaded.store(false, std::memory_order_release);
    s.replay.reset();
}

}  // namespace kelvs

KELVS_EXPORT int kelvs_replay_load(const char *trace_path, kelvs_replay_timing timing, char *error, size_t error_size)
{
    kelvs::replay_stop();
    std::string why;
    if (trace_path == nullptr) {
        kelvs::copy_text("no trace given", error, error_size);
        return -1;
    }
    auto reader = kelvra::trace::Reader::open(trace_path, why);
    if (!reader) {
        kelvs::copy_text(why, error, error_size);
        return -1;
    }
    if (reader->header().redacted) {
        kelvs::copy_text(std::string(trace_path) +
                             " is redacted: its frames and feature blocks were taken out, so it can be shown "
                             "but not replayed",
                         error, error_size);
        return -1;
    }
    auto replay = std::make_unique<kelvs::Replay>();
    replay->reader = std::move(reader);
    replay->timed = timing == KELVS_REPLAY_AS_RECORDED;
    replay->start_us = kelvs::now_us();
    std::vector<kelvra::trace::Event> before_first;
    kelvs::advance(*replay, before_first);
    // Nothing comes before the first call: what the host did before it is due during it.
    replay->due_in_next.insert(replay->due_in_next.begin(), before_first.begin(), before_first.end());

    auto &s = kelvs::shared();
    std::lock_guard lock(s.mu);
    s.replay = std::move(replay);
    kelvs::g_loaded.store(true, std::memory_order_release);
    return 0;
}

KELVS_EXPORT void kelvs_replay_status(kelvs_replay_report *out)
{
    if (out == nullptr)
        return;
    *out = {};
    auto &s = kelvs::shared();
    std::lock_guard lock(s.mu);
    if (!s.replay)
        return;
    const kelvs::Replay &r = *s.replay;
    out->loaded = 1;
    out->diverged = r.diverged ? 1 : 0;
    out->complete = !r.diverged && r.at_end && !r.next && r.read_error.empty() ? 1 : 0;
    out->calls_answered = r.answered;
    out->calls_recorded = r.at_end ? r.calls_read : 0;
    kelvs::copy_text(r.message, out->message, sizeof out->message);
}

KELVS_EXPORT void kelvs_replay_stop(void) { kelvs::replay_stop(); }

KELVS_EXPORT void kelvs_set_replay_event_listener(kelvs_replay_event_listener listener, void *user)
{
    auto &s = kelvs::shared();
    std::lock_guard lock(s.mu);
    s.listener = listener;
    s.listener_user = user;
}
