// setup.cpp - the key files handed to the driver and the virtual sensor, and the device set-up that the
// commands and the demo share.
#include "setup.h"

#include "i18n.h"

namespace kelvractl {

KeyFilePtr copy_groups(GKeyFile *from, std::initializer_list<const char *> groups)
{
    KeyFilePtr to(g_key_file_new());
    for (const char *group : groups) {
        if (from == nullptr || !g_key_file_has_group(from, group))
            continue;
        gsize count = 0;
        gchar **keys = g_key_file_get_keys(from, group, &count, nullptr);
        for (gsize i = 0; keys != nullptr && i < count; ++i) {
            gchar *value = g_key_file_get_value(from, group, keys[i], nullptr);
            if (value != nullptr)
                g_key_file_set_value(to.get(), group, keys[i], value);
            g_free(value);
        }
        g_strfreev(keys);
    }
    return to;
}

std::string sensor_profile(GKeyFile *user_config, const ProfileSettings &s)
{
    KeyFilePtr profile = copy_groups(user_config, {"Sensor", "Finger"});
    auto set = [&](const char *group, const char *key, const std::string &value) {
        if (!value.empty())
            g_key_file_set_string(profile.get(), group, key, value.c_str());
    };
    set("Sensor", "WorkMode", s.work_mode);
    set("Sensor", "StateFile", s.state_file);
    set("Sensor", "ControlSocket", s.control_socket);
    set("Sensor", "FrameDir", s.frame_dir);
    set("Finger", "Name", s.finger);
    if (s.brisk) {
        g_key_file_set_integer(profile.get(), "Finger", "StartMs", 150);
        g_key_file_set_integer(profile.get(), "Finger", "LandMs", 80);
        g_key_file_set_integer(profile.get(), "Finger", "PressMs", 300);
        g_key_file_set_integer(profile.get(), "Finger", "LeaveMs", 80);
        g_key_file_set_integer(profile.get(), "Finger", "AwayMs", 300);
    }
    gsize length = 0;
    gchar *data = g_key_file_to_data(profile.get(), &length, nullptr);
    std::string text = data != nullptr ? std::string(data, length) : std::string();
    g_free(data);
    return text;
}

std::unique_ptr<DeviceSession> DeviceSession::start(const Module &module, const VirtualSensor &sensor,
                                                    const DeviceSettings &settings, InterruptWatcher &watcher,
                                                    std::function<void(const FoldedLine &)> prompts,
                                                    std::string &error)
{
    if (sensor.available() && sensor.load_profile(sensor_profile(settings.user_config, settings.profile), error) != 0) {
        error = strf(tr("the virtual sensor refused its settings: %s"), error.c_str());
        return nullptr;
    }
    std::unique_ptr<DeviceSession> session(new DeviceSession(watcher));
    session->finger_ = settings.finger;
    session->device_ = std::make_unique<Device>(module, kDeviceName);
    Device &device = *session->device_;
    const KeyFilePtr conf = copy_groups(settings.user_config, {kDeviceName});
    if (!device.configure(conf.get(), error))
        return nullptr;
    watcher.attach(&device);
    if (watcher.interrupted())
        device.mark_stop_requested();
    device.set_prompt_sink(std::move(prompts));
    if (sensor.available()) {
        DeviceSession *self = session.get();
        device.set_before_operation([self, &sensor] { sensor.finger_auto(self->finger_); });
        device.set_busy_owner([&sensor] { return sensor.open_refused_by(); });
    }
    session->sensors_ = device.discover();
    return session;
}

// The watcher lets go of the device before it is freed.
DeviceSession::~DeviceSession() { watcher_.attach(nullptr); }

}  // namespace kelvractl
