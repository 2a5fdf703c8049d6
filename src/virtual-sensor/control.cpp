// control.cpp - the steering side of the virtual sensor: scripted answers, the call log, state queries
// and the hand-control commands.
#include "replay.h"
#include "vs_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kelvs {

State &state()
{
    // Never destroyed: the control socket's thread may still reach it while the process exits.
    static State *s = new State;
    return *s;
}

std::optional<Answer> take_answer(State &s, kelvs_call call)
{
    auto &script = s.scripts[size_t(call)];
    if (!script.queue.empty()) {
        Answer a = std::move(script.queue.front());
        script.queue.pop_front();
        return a;
    }
    return script.always;
}

kelvs_call_record make_record(kelvs_call call, int arg0, int arg1)
{
    kelvs_call_record r{};
    r.call = call;
    r.arg[0] = arg0;
    r.arg[1] = arg1;
    return r;
}

int finish_call(State &s, kelvs_call_record &record, int rc)
{
    record.rc = rc;
    if (s.log.size() >= log_limit)
        s.log.pop_front();
    s.log.push_back(record);
    if (s.listener != nullptr)
        s.listener(&record, s.listener_user);
    return rc;
}

bool call_listened()
{
    State &s = state();
    std::lock_guard lock(s.mu);
    return s.listener != nullptr;
}

}  // namespace kelvs

namespace {

kelvs::Answer to_answer(const kelvs_answer &a)
{
    kelvs::Answer out;
    out.rc = a.rc;
    out.has_out = a.has_out != 0;
    std::copy(std::begin(a.out), std::end(a.out), out.out.begin());
    if (a.image) {
        out.has_image = true;
        out.image.assign(a.image, a.image + a.image_size);
    }
    return out;
}

bool valid_call(kelvs_call call) { return int(call) >= 0 && call < KELVS_CALL_COUNT; }

constexpr const char *call_names[KELVS_CALL_COUNT] = {
    "GetDeviceCount",     "GlobalInit",       "GlobalFree",       "OpenDevice",
    "CloseDevice",        "GetDeviceWorkMode", "GetImageInfo",    "GetFwMinorVersion",
    "GetFwVersion",       "GetMcuType",       "SetTQ300UpdateFlag", "CaptureRawData",
    "ImgQuality",         "ExtractFeature",   "VerifyExt",        "EnrollForOS",
    "StoreTemplateForOS", "SearchForOS",      "ResetIdentifyCntForOS", "DelUserFpsFroOS",
    "DelAllUserFpsFroOS", "DelOSInfoFpsFroOS",
};

const char *contact_name(kelvs_contact c)
{
    switch (c) {
    case KELVS_CONTACT_FULL: return "full";
    case KELVS_CONTACT_PARTIAL: return "partial";
    case KELVS_CONTACT_SMEARED: return "smeared";
    default: return "none";
    }
}

int answer_line(char *answer, size_t size, int rc, const std::string &text)
{
    if (answer && size)
        std::snprintf(answer, size, "%s", text.c_str());
    return rc;
}

}  // namespace

KELVS_EXPORT void kelvs_script(kelvs_call call, const kelvs_answer *answer)
{
    if (!valid_call(call) || !answer)
        return;
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    s.scripts[size_t(call)].queue.push_back(to_answer(*answer));
}

KELVS_EXPORT void kelvs_script_always(kelvs_call call, const kelvs_answer *answer)
{
    if (!valid_call(call))
        return;
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    if (answer)
        s.scripts[size_t(call)].always = to_answer(*answer);
    else
        s.scripts[size_t(call)].always.reset();
}

KELVS_EXPORT void kelvs_script_rc(kelvs_call call, int rc)
{
    kelvs_answer a{};
    a.rc = rc;
    kelvs_script(call, &a);
}

KELVS_EXPORT void kelvs_script_out(kelvs_call call, int rc, int out0, int out1)
{
    kelvs_answer a{};
    a.rc = rc;
    a.has_out = 1;
    a.out[0] = out0;
    a.out[1] = out1;
    kelvs_script(call, &a);
}

KELVS_EXPORT void kelvs_clear_scripts(void)
{
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    for (auto &script : s.scripts)
        script = {};
}

KELVS_EXPORT size_t kelvs_scripts_pending(kelvs_call call)
{
    if (!valid_call(call))
        return 0;
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    return s.scripts[size_t(call)].queue.size();
}

KELVS_EXPORT size_t kelvs_log_size(void)
{
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    return s.log.size();
}

KELVS_EXPORT int kelvs_log_get(size_t index, kelvs_call_record *out)
{
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    if (index >= s.log.size())
        return -1;
    if (out)
        *out = s.log[index];
    return 0;
}

KELVS_EXPORT size_t kelvs_log_count(kelvs_call call)
{
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    return size_t(std::count_if(s.log.begin(), s.log.end(), [call](const auto &r) { return r.call == call; }));
}

KELVS_EXPORT void kelvs_log_clear(void)
{
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    s.log.clear();
}

KELVS_EXPORT const char *kelvs_call_name(kelvs_call call)
{
    return valid_call(call) ? call_names[call] : "unknown";
}

KELVS_EXPORT uint64_t kelvs_digest(const void *data, size_t size)
{
    uint64_t hash = 0xcbf29ce484222325ULL;
    const auto *bytes = static_cast<const unsigned char *>(data);
    for (size_t i = 0; bytes != nullptr && i < size; ++i)
        hash = (hash ^ bytes[i]) * 0x100000001b3ULL;
    return hash;
}

KELVS_EXPORT void kelvs_set_call_listener(kelvs_call_listener listener, void *user)
{
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    s.listener = listener;
    s.listener_user = user;
}

KELVS_EXPORT int kelvs_is_initialised(void)
{
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    return s.initialised ? 1 : 0;
}

KELVS_EXPORT int kelvs_open_handles(void)
{
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    return int(s.devices.size());
}

KELVS_EXPORT int kelvs_update_flagged(void)
{
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    return s.update_flag ? 1 : 0;
}

KELVS_EXPORT int kelvs_store_count(void)
{
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    return int(s.store.size());
}

KELVS_EXPORT int kelvs_store_has(int uid, int finger_index)
{
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    return std::any_of(s.store.begin(), s.store.end(),
                       [&](const auto &t) { return t.uid == uid && t.index == uint8_t(finger_index); })
               ? 1
               : 0;
}

KELVS_EXPORT void kelvs_store_clear(void)
{
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    s.store.clear();
    kelvs::persist_store(s);
}

KELVS_EXPORT void kelvs_reset(void)
{
    kelvs::replay_stop();
    kelvs::control_socket_stop(false);
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    s.profile = {};
    s.finger = {};
    s.initialised = false;
    s.unplugged = false;
    s.update_flag = false;
    s.devices.clear();
    kelvs::release_claim_if_unused(s);
    s.open_refused_by = 0;
    for (auto &script : s.scripts)
        script = {};
    s.log.clear();
    s.store.clear();
    s.store_unusable = false;
    s.store_warned.clear();
    s.frame_serial = 0;
}

KELVS_EXPORT int kelvs_command(const char *line, char *answer, size_t answer_size)
{
    std::string text = line ? line : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    size_t start = text.find_first_not_of(" \t");
    text = start == std::string::npos ? "" : text.substr(start);
    size_t space = text.find_first_of(" \t");
    std::string word = text.substr(0, space);
    std::string arg;
    if (space != std::string::npos) {
        size_t a = text.find_first_not_of(" \t", space);
        if (a != std::string::npos)
            arg = text.substr(a);
    }
    auto refuse = [&](const std::string &why) {
        return answer_line(answer, answer_size, -1, KELVS_ANSWER_REFUSED + why);
    };

    if (word.empty())
        return refuse("empty command");
    const auto *info = std::find_if(std::begin(kelvs_verbs), std::end(kelvs_verbs),
                                    [&](const kelvs_verb_info &v) { return word == v.word; });
    if (info == std::end(kelvs_verbs)) {
        std::string known;
        for (const auto &v : kelvs_verbs)
            known += (known.empty() ? "" : ", ") + std::string(v.word);
        return refuse("unknown command \"" + word + "\" (" + known + ")");
    }
    if (info->takes_finger && arg.empty())
        return refuse(word + " needs the name of the finger");
    if (!info->takes_finger && !arg.empty())
        return refuse(word + " takes no argument");

    switch (kelvs_verb(info - kelvs_verbs)) {
    case KELVS_VERB_PRESS: kelvs_finger_press(arg.c_str(), KELVS_CONTACT_FULL); break;
    case KELVS_VERB_SMEAR: kelvs_finger_press(arg.c_str(), KELVS_CONTACT_SMEARED); break;
    case KELVS_VERB_PARTIAL: kelvs_finger_press(arg.c_str(), KELVS_CONTACT_PARTIAL); break;
    case KELVS_VERB_AUTO: kelvs_finger_auto(arg.c_str()); break;
    case KELVS_VERB_LIFT: kelvs_finger_lift(); break;
    case KELVS_VERB_UNPLUG: kelvs_unplug(); break;
    case KELVS_VERB_REPLUG: kelvs_replug(); break;
    case KELVS_VERB_STATE: {
        char name[256];
        kelvs_contact c = kelvs_finger_state(name, sizeof name);
        bool unplugged;
        {
            auto &s = kelvs::state();
            std::lock_guard lock(s.mu);
            unplugged = s.unplugged;
        }
        std::string out = c == KELVS_CONTACT_NONE ? "finger none" : std::string("finger ") + name + " " + contact_name(c);
        if (unplugged)
            out += " unplugged";
        return answer_line(answer, answer_size, 0, out);
    }
    case KELVS_VERB_COUNT: break;
    }
    return answer_line(answer, answer_size, 0, "ok");
}
