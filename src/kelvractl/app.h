// app.h - the pieces of kelvractl's run that main and the demo share.
#ifndef KELVRACTL_APP_H
#define KELVRACTL_APP_H

#include "args.h"
#include "interrupt.h"
#include "output.h"
#include "session.h"
#include "vsensor.h"

#include <glib.h>

#include <memory>
#include <string>

namespace kelvractl {

inline constexpr const char kDeviceName[] = "kelvra-dactylen";

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNoMatch = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitFailed = 3;

struct KeyFileDeleter {
    void operator()(GKeyFile *kf) const { g_key_file_free(kf); }
};
using KeyFilePtr = std::unique_ptr<GKeyFile, KeyFileDeleter>;

// The configuration the driver is handed: only its device's group of the user's key file.
KeyFilePtr driver_configuration(GKeyFile *user_config, const char *device_name);

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

// The demo: both work modes on a temporary database and sensor state.
int run_demo(const Options &options, const Module &module, const VirtualSensor &vs, Printer &printer,
             InterruptWatcher &watcher);

}  // namespace kelvractl

#endif
