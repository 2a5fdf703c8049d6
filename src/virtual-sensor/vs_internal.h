// vs_internal.h - the shared state and internal routines of the virtual Kelvra Dactylen sensor.
#ifndef KELVS_INTERNAL_H
#define KELVS_INTERNAL_H

#include "kelfpscan.h"
#include "kelvs_control.h"

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#define KELVS_EXPORT extern "C" __attribute__((visibility("default")))

namespace kelvs {

// ---- Profile ---------------------------------------------------------------------------------
struct Profile {
    bool chip = false;
    int count = 1;
    int width = 160, height = 160, dpi = 508;
    int fw_minor = 80, fw_version = 24, mcu_type = 7, sensor_type = 37;
    int capture_ms = 30;
    int noise = 15;               // grey levels of sensor noise on every pixel
    int capacity = 50;
    int enroll_give_up_ms = 8000;
    std::string state_file, frame_dir, control_socket;
    std::string finger_name;  // empty: no finger presses on its own
    int land_ms = 150, press_ms = 1200, leave_ms = 150, away_ms = 900, start_ms = 400;
};
// Parses key-file text into out (starting from the defaults); false with a message on a bad value.
bool parse_profile(std::string_view text, Profile &out, std::string &error);

// ---- Clock -------------------------------------------------------------------------------------
int64_t now_us();
void sleep_us(int64_t us);

// ---- Finger ------------------------------------------------------------------------------------
uint64_t finger_id(std::string_view name);
uint64_t mix64(uint64_t x);

struct FingerPlay {
    enum class Mode { none, automatic, manual } mode = Mode::none;
    std::string name;
    int64_t t0_us = 0;            // automatic: when its timeline started
    kelvs_contact contact = KELVS_CONTACT_NONE;  // manual
    uint32_t press_serial = 0;    // manual: a new press for every kelvs_finger_press
};

// What lies on the sensor at one instant.
struct FingerView {
    kelvs_contact contact = KELVS_CONTACT_NONE;
    bool leaving = false;         // partial contact while the finger comes off
    std::string name;
    uint64_t id = 0;
    uint64_t press = 0;           // which press this is; a new press lands elsewhere
    double x = 0, y = 0;          // press position, each in [-1, 1]
};
FingerView finger_at(const Profile &profile, const FingerPlay &play, int64_t now);
// Two presses closer than this (in position units) image mostly the same part of the finger.
constexpr double overlap_distance = 0.35;

// ---- Images ------------------------------------------------------------------------------------
void render_frame(std::span<uint8_t> image, int width, int height, const FingerView &finger,
                  uint64_t frame_serial, int noise_level);
int grade_image(std::span<const uint8_t> image, int width, int height);
void write_pgm(const std::string &dir, uint64_t serial, std::span<const uint8_t> image, int width,
               int height);

// ---- Feature blocks ----------------------------------------------------------------------------
struct Capture {
    bool valid = false;
    FingerView finger;
    int quality = 0;
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;
};
// Fills a KELFPSCAN_FEATURE_SIZE block; 0 or a kelvs error code.
int make_feature(const Capture &capture, std::span<uint8_t> block);
// Best score of feature against count blocks; false when feature is not a block of ours.
bool compare_features(int level, std::span<const uint8_t> feature, std::span<const uint8_t> templates,
                      int count, int &similarity, int &match);

// ---- On-chip store -----------------------------------------------------------------------------
struct Template {
    int32_t uid = 0;
    uint8_t index = 0;
    std::string tag;
    uint64_t finger = 0;
    std::string name;
};
bool load_store(const std::string &path, std::vector<Template> &out, std::string &error);
bool save_store(const std::string &path, const std::vector<Template> &store, std::string &error);

struct EnrollSession {
    std::vector<std::array<double, 2>> positions;  // of the accepted steps
    int last_step = 0;
    uint64_t finger = 0;
    std::string name;
    int64_t waiting_since = -1;   // sensor time of the first not-finished answer of the current run
};

// ---- Devices and scripts -----------------------------------------------------------------------
struct Device {
    int index = 0;
    // Fixed when the sensor is opened: a profile loaded later does not change what the driver was told.
    bool chip = false;
    int width = 0, height = 0;
    bool gone = false;            // unplugged while open
    Capture last;
    EnrollSession enroll;
    bool search_started = false;  // the busy answer of this search attempt has been given
    int identify_count = 0;
};

struct Answer {
    int rc = 0;
    bool has_out = false;
    std::array<int, 4> out{};
    bool has_image = false;
    std::vector<uint8_t> image;
};

struct Script {
    std::deque<Answer> queue;
    std::optional<Answer> always;
};

constexpr size_t log_limit = 65536;

struct State {
    std::mutex mu;
    Profile profile;
    FingerPlay finger;
    bool initialised = false;
    bool unplugged = false;
    bool update_flag = false;
    std::map<uintptr_t, Device> devices;
    uintptr_t next_handle = 0x4b560001;
    std::array<Script, KELVS_CALL_COUNT> scripts;
    std::deque<kelvs_call_record> log;
    kelvs_call_listener listener = nullptr;
    void *listener_user = nullptr;
    std::vector<Template> store;
    // The state file could not be read and could not be put aside either: nothing may replace it.
    bool store_unusable = false;
    std::string store_warned;     // the state file whose trouble was already reported
    uint64_t frame_serial = 0;
    int claim_fd = -1;            // the lock on the state file while a handle is open (claim.cpp)
    int open_refused_by = 0;      // see kelvs_open_refused_by
};
State &state();

// Under the state lock.
std::optional<Answer> take_answer(State &s, kelvs_call call);
int finish_call(State &s, kelvs_call_record &record, int rc);
// Takes the state lock: whether a call listener is installed.
bool call_listened();
kelvs_call_record make_record(kelvs_call call, int arg0 = 0, int arg1 = 0);
// Looks up an open handle: 0, KELVS_ERR_HANDLE or KELVS_ERR_GONE.
int find_device(State &s, KELFPSCAN_HANDLE handle, Device *&device);
// One SDK call on a handle under the state lock: a scripted answer if there is one (scripted writes
// its outputs when it has any), otherwise natural(state, device) on the open device; logged either way.
template <class Scripted, class Natural>
int handle_call(kelvs_call_record record, KELFPSCAN_HANDLE handle, Scripted scripted, Natural natural)
{
    State &s = state();
    std::lock_guard lock(s.mu);
    int rc;
    if (auto a = take_answer(s, record.call)) {
        rc = a->rc;
        if (a->has_out)
            scripted(*a);
    } else {
        Device *d = nullptr;
        rc = find_device(s, handle, d);
        if (rc == 0)
            rc = natural(s, *d);
    }
    return finish_call(s, record, rc);
}
// Reloads the store from the state file when there is one (a missing file is an empty store).
void reload_store(State &s);
int persist_store(State &s);

// ---- Claim -----------------------------------------------------------------------------------
// A lock on a file, taken without waiting: held (fd open, this pid written into the file), held by
// another open file (owner: the pid written there, -1 unknown), or not possible there at all.
struct LockAttempt {
    enum Result { taken, held_elsewhere, unavailable } result = unavailable;
    int fd = -1;
    int owner = -1;
};
LockAttempt take_lock(const std::string &path);
void release_lock(int &fd);
// Under the state lock, before a handle on sensor index is added: 0 when this process may open it,
// else the pid of the program that holds it (this process's own, or -1 when unknown).
int claim_sensor(State &s, int index);
// Under the state lock: lets the claim go once no handle is open.
void release_claim_if_unused(State &s);

// The control socket; start and stop take no state lock while the thread runs.
int control_socket_start(const std::string &path, bool pinned);
void control_socket_stop(bool only_unpinned);

}  // namespace kelvs

#endif
