// vsensor.h - reaching the virtual sensor behind the driver: its profile, its finger, its control socket.
#ifndef KELVRACTL_VSENSOR_H
#define KELVRACTL_VSENSOR_H

#include "kelvs_control.h"

#include <cstddef>
#include <optional>
#include <string>

namespace kelvractl {

// The control calls of the sensor library the driver module has loaded. The vendor's SDK has none of
// them; then available() is false and the calls do nothing.
class VirtualSensor {
public:
    // Looks the calls up in the sensor library the module at module_path (already loaded) depends on.
    static VirtualSensor find(const std::string &module_path);
    // The calls of the sensor library kelvractl loaded itself (the SDK behind the recorder).
    static VirtualSensor of_library(void *library);

    bool available() const { return load_profile_ != nullptr; }
    // 0, or -1 with the sensor's reason.
    int load_profile(const std::string &keyfile_text, std::string &error) const;
    // The finger that presses and lifts on its own, starting now; "none" or empty removes it.
    void finger_auto(const std::string &name) const;
    // A hand-control line ("press alice"); nullopt when the library has no such call.
    std::optional<std::string> command(const std::string &line) const;
    // The program that holds the sensor when the last open was refused for it: its pid, -1 when it
    // is not known, 0 when the open was not refused for that (or this is not the virtual sensor).
    int open_refused_by() const;
    // Replay: 0, or -1 with the sensor's reason.
    int replay_load(const std::string &trace_path, bool as_recorded, std::string &error) const;
    kelvs_replay_report replay_status() const;
    void set_replay_event_listener(kelvs_replay_event_listener listener, void *user) const;

private:
    // The calls are looked up by the names of kelvs_control.h and keep its types.
    decltype(&kelvs_load_profile_data) load_profile_ = nullptr;
    decltype(&kelvs_finger_auto) finger_auto_ = nullptr;
    decltype(&kelvs_command) command_ = nullptr;
    decltype(&kelvs_open_refused_by) open_refused_by_ = nullptr;
    decltype(&kelvs_replay_load) replay_load_ = nullptr;
    decltype(&kelvs_replay_status) replay_status_ = nullptr;
    decltype(&kelvs_set_replay_event_listener) set_replay_event_listener_ = nullptr;
    void look_up_calls(void *library);
};

// Sends one hand-control line to a sensor listening on a Unix socket and returns its answer line;
// nullopt with a reason when nothing answers there.
std::optional<std::string> send_finger_command(const std::string &socket_path, const std::string &line,
                                               std::string &error);

// Unix socket paths are limited to the size of sun_path.
bool fits_socket_path(const std::string &path);

}  // namespace kelvractl

#endif
