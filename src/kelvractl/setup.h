// setup.h - what every run of the driver needs around it, made in one place for the commands and the
// demo: the driver's and the virtual sensor's key files cut from the user's, and a configured device
// whose prompts are shown and whose Ctrl-C becomes a stop.
#ifndef KELVRACTL_SETUP_H
#define KELVRACTL_SETUP_H

#include "interrupt.h"
#include "session.h"
#include "vsensor.h"

#include <glib.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

namespace kelvractl {

inline constexpr const char kDeviceName[] = "kelvra-dactylen";

struct KeyFileDeleter {
    void operator()(GKeyFile *kf) const { g_key_file_free(kf); }
};
using KeyFilePtr = std::unique_ptr<GKeyFile, KeyFileDeleter>;

// A new key file with the given groups of from (which may be NULL).
KeyFilePtr copy_groups(GKeyFile *from, std::initializer_list<const char *> groups);

// The virtual sensor's profile: the [Sensor] and [Finger] groups of the user's key file (if any),
// then the given settings on top. Empty settings leave what the file says.
struct ProfileSettings {
    std::string work_mode;      // "host" / "chip"
    std::string state_file;
    std::string control_socket;
    std::string frame_dir;
    std::string finger;         // "none" for no finger
    bool brisk = false;         // demo pace: short presses and pauses
};
std::string sensor_profile(GKeyFile *user_config, const ProfileSettings &settings);

struct DeviceSettings {
    GKeyFile *user_config = nullptr;  // its [kelvra-dactylen] group configures the driver
    ProfileSettings profile;          // for the virtual sensor, when that is the sensor library loaded
    std::string finger = "none";      // put on the virtual sensor as each operation starts
};

// One configured device of the driver, attached to the interrupt watcher while it lives.
class DeviceSession {
public:
    // nullptr with a reason when the sensor refuses its profile or the driver its configuration.
    static std::unique_ptr<DeviceSession> start(const Module &module, const VirtualSensor &sensor,
                                                const DeviceSettings &settings, InterruptWatcher &watcher,
                                                std::function<void(const FoldedLine &)> prompts, std::string &error);
    ~DeviceSession();
    DeviceSession(const DeviceSession &) = delete;
    DeviceSession &operator=(const DeviceSession &) = delete;

    Device &device() { return *device_; }
    // The driver's count of attached sensors when the session started (negative: its error code).
    int sensors() const { return sensors_; }
    // The finger the next operations start with.
    void set_finger(std::string finger) { finger_ = std::move(finger); }

private:
    DeviceSession(InterruptWatcher &watcher) : watcher_(watcher) {}
    InterruptWatcher &watcher_;
    std::unique_ptr<Device> device_;
    std::string finger_;
    int sensors_ = 0;
};

}  // namespace kelvractl

#endif
