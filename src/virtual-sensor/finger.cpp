// finger.cpp - the virtual finger: its timeline when it presses on its own, or as a hand puts it.
#include "vs_internal.h"

#include <cmath>
#include <cstdio>
#include <numbers>

namespace kelvs {

uint64_t mix64(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

uint64_t finger_id(std::string_view name)
{
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : name) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h ? h : 1;
}

namespace {

// Successive presses walk round seven spots on a ring, three spots apart, so that any six presses in
// a row land far enough apart for an enrollment and the seventh comes back to the first.
void press_position(uint64_t id, uint64_t press, double &x, double &y)
{
    constexpr int spots = 7;
    double base = double(id % 6283) / 1000.0;
    double angle = base + 2.0 * std::numbers::pi * double((press * 3) % spots) / spots;
    x = 0.75 * std::cos(angle);
    y = 0.75 * std::sin(angle);
}

}  // namespace

FingerView finger_at(const Profile &profile, const FingerPlay &play, int64_t now)
{
    FingerView v;
    if (play.mode == FingerPlay::Mode::none || play.name.empty())
        return v;
    v.name = play.name;
    v.id = finger_id(play.name);
    if (play.mode == FingerPlay::Mode::manual) {
        v.contact = play.contact;
        v.press = play.press_serial;
    } else {
        int64_t t = (now - play.t0_us) / 1000 - profile.start_ms;
        if (t < 0)
            return FingerView{};
        int64_t cycle = int64_t(profile.land_ms) + profile.press_ms + profile.leave_ms + profile.away_ms;
        int64_t p = t % cycle;
        v.press = uint64_t(t / cycle);
        if (p < profile.land_ms)
            v.contact = KELVS_CONTACT_PARTIAL;
        else if (p < profile.land_ms + int64_t(profile.press_ms))
            v.contact = KELVS_CONTACT_FULL;
        else if (p < profile.land_ms + int64_t(profile.press_ms) + profile.leave_ms) {
            v.contact = KELVS_CONTACT_PARTIAL;
            v.leaving = true;
        } else
            return FingerView{};
    }
    if (v.contact == KELVS_CONTACT_NONE)
        return FingerView{};
    press_position(v.id, v.press, v.x, v.y);
    return v;
}

}  // namespace kelvs

namespace {

bool no_name(const char *name) { return !name || !*name || std::string_view(name) == "none"; }

}  // namespace

KELVS_EXPORT void kelvs_finger_auto(const char *name)
{
    int64_t now = kelvs::now_us();
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    s.finger = {};
    if (no_name(name))
        return;
    s.finger.mode = kelvs::FingerPlay::Mode::automatic;
    s.finger.name = name;
    s.finger.t0_us = now;
}

KELVS_EXPORT void kelvs_finger_press(const char *name, kelvs_contact contact)
{
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    uint32_t serial = s.finger.press_serial + 1;
    s.finger = {};
    s.finger.press_serial = serial;
    if (no_name(name) || contact == KELVS_CONTACT_NONE || contact > KELVS_CONTACT_SMEARED)
        return;
    s.finger.mode = kelvs::FingerPlay::Mode::manual;
    s.finger.name = name;
    s.finger.contact = contact;
}

KELVS_EXPORT void kelvs_finger_lift(void)
{
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    uint32_t serial = s.finger.press_serial;
    s.finger = {};
    s.finger.press_serial = serial;
}

KELVS_EXPORT void kelvs_unplug(void)
{
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    s.unplugged = true;
    for (auto &[h, d] : s.devices)
        d.gone = true;
}

KELVS_EXPORT void kelvs_replug(void)
{
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    s.unplugged = false;
}

KELVS_EXPORT kelvs_contact kelvs_finger_state(char *name, size_t name_size)
{
    int64_t now = kelvs::now_us();
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    auto v = kelvs::finger_at(s.profile, s.finger, now);
    if (name && name_size)
        std::snprintf(name, name_size, "%s", v.contact == KELVS_CONTACT_NONE ? "" : v.name.c_str());
    return v.contact;
}
