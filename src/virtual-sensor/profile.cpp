// profile.cpp - reads the GLib key-file profile that describes the virtual sensor and its finger.
#include "vs_internal.h"

#include <glib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kelvs {
namespace {

struct KeyFileFree {
    void operator()(GKeyFile *k) const { g_key_file_free(k); }
};
struct ErrorFree {
    void operator()(GError *e) const { g_error_free(e); }
};
struct StrvFree {
    void operator()(gchar **v) const { g_strfreev(v); }
};

struct IntKey {
    const char *name;
    int Profile::*field;
    int min, max;
};

constexpr IntKey sensor_ints[] = {
    {"Count", &Profile::count, 0, 8},
    {"Width", &Profile::width, 20, 2048},
    {"Height", &Profile::height, 20, 2048},
    {"Dpi", &Profile::dpi, 1, 10000},
    {"FwMinorVersion", &Profile::fw_minor, 0, 1000000},
    {"FwVersion", &Profile::fw_version, 0, 255},
    {"McuType", &Profile::mcu_type, 0, 1000000},
    {"SensorType", &Profile::sensor_type, 0, 1000000},
    {"CaptureMs", &Profile::capture_ms, 0, 60000},
    {"Noise", &Profile::noise, 0, 15},
    {"Capacity", &Profile::capacity, 1, 10000},
    {"EnrollGiveUpMs", &Profile::enroll_give_up_ms, 0, 3600000},
};

constexpr IntKey finger_ints[] = {
    {"LandMs", &Profile::land_ms, 0, 3600000},
    {"PressMs", &Profile::press_ms, 0, 3600000},
    {"LeaveMs", &Profile::leave_ms, 0, 3600000},
    {"AwayMs", &Profile::away_ms, 0, 3600000},
    {"StartMs", &Profile::start_ms, 0, 3600000},
};

std::string value_of(GKeyFile *kf, const char *group, const char *key)
{
    gchar *raw = g_key_file_get_string(kf, group, key, nullptr);
    std::string v = raw ? raw : "";
    g_free(raw);
    return v;
}

bool parse_int(const std::string &text, long long &out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    out = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && end && *end == '\0';
}

bool read_group(GKeyFile *kf, const char *group, std::span<const IntKey> ints,
                std::span<const char *const> strings, Profile &p, std::string &error)
{
    if (!g_key_file_has_group(kf, group))
        return true;
    std::unique_ptr<gchar *, StrvFree> keys(g_key_file_get_keys(kf, group, nullptr, nullptr));
    for (gchar **k = keys.get(); k && *k; ++k) {
        std::string key = *k;
        std::string value = value_of(kf, group, *k);
        bool known = false;
        for (const auto &ik : ints) {
            if (key != ik.name)
                continue;
            known = true;
            long long v = 0;
            if (!parse_int(value, v) || v < ik.min || v > ik.max) {
                error = "[" + std::string(group) + "] " + key + "=" + value + ": expected a whole number from " +
                        std::to_string(ik.min) + " to " + std::to_string(ik.max);
                return false;
            }
            p.*ik.field = int(v);
        }
        for (const char *name : strings)
            if (key == name)
                known = true;
        if (!known) {
            error = "[" + std::string(group) + "] " + key + ": unknown key";
            return false;
        }
    }
    return true;
}

}  // namespace

bool parse_profile(std::string_view text, Profile &out, std::string &error)
{
    std::unique_ptr<GKeyFile, KeyFileFree> kf(g_key_file_new());
    GError *raw_err = nullptr;
    if (!g_key_file_load_from_data(kf.get(), text.data(), text.size(), G_KEY_FILE_NONE, &raw_err)) {
        std::unique_ptr<GError, ErrorFree> err(raw_err);
        error = std::string("not a key file: ") + (err ? err->message : "unknown error");
        return false;
    }
    Profile p;
    static constexpr const char *sensor_strings[] = {"WorkMode", "StateFile", "FrameDir", "ControlSocket"};
    static constexpr const char *finger_strings[] = {"Name"};
    if (!read_group(kf.get(), "Sensor", sensor_ints, sensor_strings, p, error) ||
        !read_group(kf.get(), "Finger", finger_ints, finger_strings, p, error))
        return false;

    if (g_key_file_has_key(kf.get(), "Sensor", "WorkMode", nullptr)) {
        std::string mode = value_of(kf.get(), "Sensor", "WorkMode");
        if (mode == "host")
            p.chip = false;
        else if (mode == "chip")
            p.chip = true;
        else {
            error = "[Sensor] WorkMode=" + mode + ": expected host or chip";
            return false;
        }
    }
    p.state_file = value_of(kf.get(), "Sensor", "StateFile");
    p.frame_dir = value_of(kf.get(), "Sensor", "FrameDir");
    p.control_socket = value_of(kf.get(), "Sensor", "ControlSocket");
    std::string name = value_of(kf.get(), "Finger", "Name");
    p.finger_name = name == "none" ? "" : name;

    if (p.land_ms + int64_t(p.press_ms) + p.leave_ms + p.away_ms <= 0) {
        error = "[Finger] LandMs, PressMs, LeaveMs and AwayMs are all 0: the finger timeline needs some length";
        return false;
    }
    out = std::move(p);
    return true;
}

}  // namespace kelvs

namespace {

int fail(char *error, size_t error_size, const std::string &message)
{
    if (error && error_size)
        std::snprintf(error, error_size, "%s", message.c_str());
    return -1;
}

int install_profile(std::string_view text, char *error, size_t error_size)
{
    kelvs::Profile p;
    std::string message;
    if (!kelvs::parse_profile(text, p, message))
        return fail(error, error_size, message);
    int64_t now = kelvs::now_us();
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    s.profile = std::move(p);
    s.finger = {};
    if (!s.profile.finger_name.empty()) {
        s.finger.mode = kelvs::FingerPlay::Mode::automatic;
        s.finger.name = s.profile.finger_name;
        s.finger.t0_us = now;
    }
    if (error && error_size)
        error[0] = '\0';
    return 0;
}

}  // namespace

KELVS_EXPORT int kelvs_load_profile_data(const char *keyfile_text, char *error, size_t error_size)
{
    if (!keyfile_text)
        return fail(error, error_size, "no profile text");
    return install_profile(keyfile_text, error, error_size);
}

KELVS_EXPORT int kelvs_load_profile_file(const char *path, char *error, size_t error_size)
{
    if (!path)
        return fail(error, error_size, "no profile path");
    gchar *contents = nullptr;
    gsize length = 0;
    GError *err = nullptr;
    if (!g_file_get_contents(path, &contents, &length, &err)) {
        std::string message = std::string(path) + ": " + (err ? err->message : "cannot read");
        if (err)
            g_error_free(err);
        return fail(error, error_size, message);
    }
    int rc = install_profile(std::string_view(contents, length), error, error_size);
    if (rc != 0 && error && error_size) {
        std::string message = std::string(path) + ": " + error;
        std::snprintf(error, error_size, "%s", message.c_str());
    }
    g_free(contents);
    return rc;
}
