// onchip.cpp - match-on-chip: enrollment steps, the template store, searches and deletions.
#include "replay.h"
#include "vs_internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>

using kelvs::Answer;
using kelvs::Device;
using kelvs::State;

namespace {

// An on-chip call that images the finger: a scripted answer returns at once; otherwise first(...) may
// answer before any imaging, and then, after one capture time, sense(...) answers from what lies on
// the sensor.
template <class Scripted, class First, class Sense>
int sensing_call(kelvs_call_record record, KELFPSCAN_HANDLE handle, Scripted scripted, First first, Sense sense)
{
    State &s = kelvs::state();
    int64_t capture_us = 0;
    {
        std::lock_guard lock(s.mu);
        if (auto a = kelvs::take_answer(s, record.call)) {
            if (a->has_out)
                scripted(*a);
            return kelvs::finish_call(s, record, a->rc);
        }
        Device *d = nullptr;
        int rc = kelvs::find_device(s, handle, d);
        if (rc == 0 && !d->chip)
            rc = KELVS_ERR_MODE;
        if (rc == 0) {
            if (auto early = first(s, *d))
                rc = *early;
        }
        if (rc != 0)
            return kelvs::finish_call(s, record, rc);
        capture_us = int64_t(s.profile.capture_ms) * 1000;
    }
    kelvs::sleep_us(capture_us);
    int64_t now = kelvs::now_us();
    std::lock_guard lock(s.mu);
    Device *d = nullptr;
    int rc = kelvs::find_device(s, handle, d);
    if (rc == 0)
        rc = sense(s, *d, now);
    return kelvs::finish_call(s, record, rc);
}

// A plain on-chip call: scripted, or natural(state, device) on a match-on-chip sensor.
template <class Natural>
int chip_call(kelvs_call_record record, KELFPSCAN_HANDLE handle, Natural natural)
{
    return kelvs::handle_call(record, handle, [](const Answer &) {}, [&](State &s, Device &d) {
        if (!d.chip)
            return int(KELVS_ERR_MODE);
        return natural(s, d);
    });
}

int32_t uid_of(const unsigned char *record)
{
    return int32_t(uint32_t(record[0]) | uint32_t(record[1]) << 8 | uint32_t(record[2]) << 16 |
                   uint32_t(record[3]) << 24);
}

bool user_matches(int32_t wanted, const kelvs::Template &t) { return wanted == -1 || t.uid == wanted; }

void copy_record(unsigned char (&to)[64], const unsigned char *from)
{
    if (from)
        std::memcpy(to, from, KELFPSCAN_RECORD_SIZE);
}

int erase_and_persist(State &s, auto predicate)
{
    auto removed = std::erase_if(s.store, predicate);
    return removed ? kelvs::persist_store(s) : 0;
}

}  // namespace

KELVS_EXPORT int KELFPSCAN_EnrollForOS(KELFPSCAN_HANDLE handle, unsigned char step)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::enroll_for_os(s, handle, step); }))
        return *replayed;
    return sensing_call(
        kelvs::make_record(KELVS_EnrollForOS, step), handle, [](const Answer &) {},
        [&](State &, Device &d) -> std::optional<int> {
            // Step 1 after earlier steps is a new enrollment: what the old one collected is dropped.
            if (step <= 1 && !d.enroll.positions.empty())
                d.enroll = {};
            return std::nullopt;
        },
        [&](State &s, Device &d, int64_t now) {
            auto &e = d.enroll;
            auto view = kelvs::finger_at(s.profile, s.finger, now);
            if (view.contact == KELVS_CONTACT_NONE) {
                if (e.waiting_since < 0)
                    e.waiting_since = now;
                if (now - e.waiting_since >= int64_t(s.profile.enroll_give_up_ms) * 1000) {
                    e.waiting_since = -1;
                    return int(KELFPSCAN_ENROLL_GAVE_UP);
                }
                return int(KELFPSCAN_ENROLL_NOT_FINISHED);
            }
            e.waiting_since = -1;
            if (view.contact == KELVS_CONTACT_PARTIAL)
                return int(view.leaving ? KELFPSCAN_ENROLL_POOR_IMAGE_C : KELFPSCAN_ENROLL_POOR_IMAGE_A);
            if (view.contact == KELVS_CONTACT_SMEARED)
                return int(KELFPSCAN_ENROLL_POOR_IMAGE_B);
            if (std::any_of(s.store.begin(), s.store.end(), [&](const auto &t) { return t.finger == view.id; }))
                return int(KELFPSCAN_ENROLL_ALREADY_STORED);
            for (const auto &p : e.positions)
                if (std::hypot(p[0] - view.x, p[1] - view.y) < kelvs::overlap_distance)
                    return int(KELFPSCAN_ENROLL_OVERLAP);
            if (e.positions.empty()) {
                e.finger = view.id;
                e.name = view.name;
            }
            e.positions.push_back({view.x, view.y});
            e.last_step = step;
            return int(KELFPSCAN_ENROLL_ACCEPTED);
        });
}

KELVS_EXPORT int KELFPSCAN_StoreTemplateForOS(KELFPSCAN_HANDLE handle, const unsigned char *userRecord,
                                              const unsigned char *fingerRecord)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::store_template_for_os(s, handle, userRecord, fingerRecord); }))
        return *replayed;
    auto rec = kelvs::make_record(KELVS_StoreTemplateForOS);
    rec.has_record = 2;
    copy_record(rec.user_record, userRecord);
    copy_record(rec.finger_record, fingerRecord);
    return chip_call(rec, handle, [&](State &s, Device &d) {
        if (!userRecord || !fingerRecord)
            return int(KELVS_ERR_ARGUMENT);
        // Six accepted presses make a template.
        if (d.enroll.positions.size() < 6)
            return int(KELVS_ERR_ENROLL_INCOMPLETE);
        kelvs::Template t;
        t.uid = uid_of(userRecord);
        t.index = fingerRecord[0];
        size_t tag_len = std::min<size_t>(fingerRecord[55], KELFPSCAN_RECORD_SIZE - 56);
        t.tag.assign(reinterpret_cast<const char *>(fingerRecord + 56), tag_len);
        t.finger = d.enroll.finger;
        t.name = d.enroll.name;
        auto same = std::find_if(s.store.begin(), s.store.end(), [&](const auto &o) {
            return o.uid == t.uid && o.index == t.index && o.tag == t.tag;
        });
        if (same != s.store.end())
            *same = t;  // enrolling a finger index again replaces what was stored under it
        else if (s.store.size() >= size_t(s.profile.capacity))
            return int(KELFPSCAN_STORE_FULL);
        else
            s.store.push_back(t);
        d.enroll = {};
        return kelvs::persist_store(s);
    });
}

KELVS_EXPORT int KELFPSCAN_SearchForOS(KELFPSCAN_HANDLE handle, const unsigned char *userInfo,
                                       unsigned char *searchRes, int *matchedId, unsigned int *matchScore)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::search_for_os(s, handle, userInfo, searchRes, matchedId, matchScore); }))
        return *replayed;
    auto rec = kelvs::make_record(KELVS_SearchForOS);
    rec.has_record = 1;
    copy_record(rec.user_record, userInfo);
    // Not yet: the sensor is still waiting for a finger to image.
    constexpr int waiting = 1;
    return sensing_call(
        rec, handle,
        [&](const Answer &a) {
            if (matchedId)
                *matchedId = a.out[0];
            if (matchScore)
                *matchScore = static_cast<unsigned int>(a.out[1]);
        },
        [&](State &s, Device &d) -> std::optional<int> {
            if (!userInfo || !matchedId)
                return int(KELVS_ERR_ARGUMENT);
            // Each search attempt opens with one busy answer while the sensor arms itself.
            if (!d.search_started) {
                d.search_started = true;
                return int(KELFPSCAN_SEARCH_BUSY);
            }
            (void)s;
            return std::nullopt;
        },
        [&](State &s, Device &d, int64_t now) {
            auto view = kelvs::finger_at(s.profile, s.finger, now);
            if (view.contact == KELVS_CONTACT_NONE || view.contact == KELVS_CONTACT_PARTIAL)
                return waiting;
            d.search_started = false;
            const int32_t uid = uid_of(userInfo);
            auto hit = view.contact == KELVS_CONTACT_FULL
                           ? std::find_if(s.store.begin(), s.store.end(),
                                          [&](const auto &t) { return user_matches(uid, t) && t.finger == view.id; })
                           : s.store.end();
            if (hit == s.store.end()) {
                if (searchRes)
                    *searchRes = 0;
                if (matchScore)
                    *matchScore = unsigned(kelvs::mix64(view.id) % 20);
                return int(KELFPSCAN_SEARCH_NO_MATCH);
            }
            *matchedId = hit->index;
            if (searchRes)
                *searchRes = 1;
            if (matchScore)
                *matchScore = 80 + unsigned(kelvs::mix64(view.id ^ view.press) % 20);
            return int(KELFPSCAN_SEARCH_MATCH);
        });
}

KELVS_EXPORT int KELFPSCAN_ResetIdentifyCntForOS(KELFPSCAN_HANDLE handle, int count)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::reset_identify_cnt_for_os(s, handle, count); }))
        return *replayed;
    return chip_call(kelvs::make_record(KELVS_ResetIdentifyCntForOS, count), handle, [&](State &, Device &d) {
        d.identify_count = count;
        d.search_started = false;
        return 0;
    });
}

KELVS_EXPORT int KELFPSCAN_DelUserFpsFroOS(KELFPSCAN_HANDLE handle, const unsigned char *userInfo,
                                           const unsigned char *fingerInfo)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::del_user_fps_fro_os(s, handle, userInfo, fingerInfo); }))
        return *replayed;
    auto rec = kelvs::make_record(KELVS_DelUserFpsFroOS);
    rec.has_record = 2;
    copy_record(rec.user_record, userInfo);
    copy_record(rec.finger_record, fingerInfo);
    return chip_call(rec, handle, [&](State &s, Device &) {
        if (!userInfo || !fingerInfo)
            return int(KELVS_ERR_ARGUMENT);
        const int32_t uid = uid_of(userInfo);
        const uint8_t index = fingerInfo[0];
        return erase_and_persist(s, [&](const auto &t) { return user_matches(uid, t) && t.index == index; });
    });
}

KELVS_EXPORT int KELFPSCAN_DelAllUserFpsFroOS(KELFPSCAN_HANDLE handle, const unsigned char *userInfo)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::del_all_user_fps_fro_os(s, handle, userInfo); }))
        return *replayed;
    auto rec = kelvs::make_record(KELVS_DelAllUserFpsFroOS);
    rec.has_record = 1;
    copy_record(rec.user_record, userInfo);
    return chip_call(rec, handle, [&](State &s, Device &) {
        if (!userInfo)
            return int(KELVS_ERR_ARGUMENT);
        const int32_t uid = uid_of(userInfo);
        return erase_and_persist(s, [&](const auto &t) { return user_matches(uid, t); });
    });
}

KELVS_EXPORT int KELFPSCAN_DelOSInfoFpsFroOS(KELFPSCAN_HANDLE handle, const char *osTag)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::del_os_info_fps_fro_os(s, handle, osTag); }))
        return *replayed;
    auto rec = kelvs::make_record(KELVS_DelOSInfoFpsFroOS);
    if (osTag)
        std::strncpy(rec.tag, osTag, sizeof rec.tag - 1);
    return chip_call(rec, handle, [&](State &s, Device &) {
        if (!osTag)
            return int(KELVS_ERR_ARGUMENT);
        const std::string tag = osTag;
        return erase_and_persist(s, [&](const auto &t) { return t.tag == tag; });
    });
}
