// vsensor.cpp - the virtual sensor's control calls looked up at run time, and its control-socket client.
#include "vsensor.h"

#include "i18n.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kelvractl {

namespace {

template <typename Fn>
Fn look_up(void *library, const char *name)
{
    void *symbol = dlsym(library, name);
    Fn out;
    static_assert(sizeof out == sizeof symbol);
    std::memcpy(&out, &symbol, sizeof out);
    return out;
}

// A control call of kelvs_control.h by its own name, with its own type.
#define KELVS_CALL(library, call) look_up<decltype(&call)>(library, #call)

constexpr int kSocketWaitMs = 5000;

}  // namespace

VirtualSensor VirtualSensor::find(const std::string &module_path)
{
    VirtualSensor vs;
    // Only the sensor library the module itself loaded counts, so the calls are looked up through the
    // module's handle, which searches the module and its dependencies. Opening the sensor library by name
    // instead, even with RTLD_NOLOAD, makes ld.so build a search list for it that glibc never frees when
    // another thread (the interrupt watcher) is running.
    void *module = dlopen(module_path.c_str(), RTLD_NOLOAD | RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr)
        return vs;
    vs.look_up_calls(module);
    // RTLD_NOLOAD took a reference of its own; the host's Module keeps the module mapped.
    dlclose(module);
    return vs;
}

VirtualSensor VirtualSensor::of_library(void *library)
{
    VirtualSensor vs;
    if (library != nullptr)
        vs.look_up_calls(library);
    return vs;
}

void VirtualSensor::look_up_calls(void *library)
{
    load_profile_ = KELVS_CALL(library, kelvs_load_profile_data);
    finger_auto_ = KELVS_CALL(library, kelvs_finger_auto);
    command_ = KELVS_CALL(library, kelvs_command);
    open_refused_by_ = KELVS_CALL(library, kelvs_open_refused_by);
    replay_load_ = KELVS_CALL(library, kelvs_replay_load);
    replay_status_ = KELVS_CALL(library, kelvs_replay_status);
    set_replay_event_listener_ = KELVS_CALL(library, kelvs_set_replay_event_listener);
    if (finger_auto_ == nullptr)
        load_profile_ = nullptr;
}

int VirtualSensor::replay_load(const std::string &trace_path, bool as_recorded, std::string &error) const
{
    if (replay_load_ == nullptr) {
        error = tr("the sensor library loaded is not the virtual sensor, which replays");
        return -1;
    }
    char reason[1024] = {};
    const kelvs_replay_timing timing = as_recorded ? KELVS_REPLAY_AS_RECORDED : KELVS_REPLAY_COMPRESSED;
    if (replay_load_(trace_path.c_str(), timing, reason, sizeof reason) != 0) {
        error = reason;
        return -1;
    }
    return 0;
}

kelvs_replay_report VirtualSensor::replay_status() const
{
    kelvs_replay_report report{};
    if (replay_status_ != nullptr)
        replay_status_(&report);
    return report;
}

void VirtualSensor::set_replay_event_listener(kelvs_replay_event_listener listener, void *user) const
{
    if (set_replay_event_listener_ != nullptr)
        set_replay_event_listener_(listener, user);
}

int VirtualSensor::load_profile(const std::string &keyfile_text, std::string &error) const
{
    if (load_profile_ == nullptr)
        return 0;
    char reason[512] = {};
    if (load_profile_(keyfile_text.c_str(), reason, sizeof reason) != 0) {
        error = reason[0] != '\0' ? reason : tr("the virtual sensor refused its profile");
        return -1;
    }
    return 0;
}

void VirtualSensor::finger_auto(const std::string &name) const
{
    if (finger_auto_ != nullptr)
        finger_auto_(name.empty() || name == "none" ? nullptr : name.c_str());
}

std::optional<std::string> VirtualSensor::command(const std::string &line) const
{
    if (command_ == nullptr)
        return std::nullopt;
    char answer[256] = {};
    command_(line.c_str(), answer, sizeof answer);
    return std::string(answer);
}

int VirtualSensor::open_refused_by() const { return open_refused_by_ != nullptr ? open_refused_by_() : 0; }

bool fits_socket_path(const std::string &path)
{
    return !path.empty() && path.size() < sizeof(sockaddr_un{}.sun_path);
}

std::optional<std::string> send_finger_command(const std::string &socket_path, const std::string &line,
                                               std::string &error)
{
    if (!fits_socket_path(socket_path)) {
        error = strf(tr("the control socket path is too long: %s"), socket_path.c_str());
        return std::nullopt;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = strf(tr("cannot make a socket: %s"), std::strerror(errno));
        return std::nullopt;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        const int why = errno;
        close(fd);
        error = strf(tr("no virtual sensor listens on %s (%s); it listens only while another kelvractl runs an "
                        "operation"),
                     socket_path.c_str(), std::strerror(why));
        return std::nullopt;
    }

    const std::string request = line + "\n";
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = strf(tr("cannot send to the virtual sensor: %s"), std::strerror(errno));
            close(fd);
            return std::nullopt;
        }
        sent += static_cast<std::size_t>(n);
    }

    std::string answer;
    char buffer[256];
    while (answer.find('\n') == std::string::npos && answer.size() < 4096) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, kSocketWaitMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            error = tr("the virtual sensor did not answer");
            close(fd);
            return std::nullopt;
        }
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    if (const auto end = answer.find('\n'); end != std::string::npos)
        answer.resize(end);
    if (answer.empty()) {
        error = tr("the virtual sensor closed the connection without an answer");
        return std::nullopt;
    }
    return answer;
}

}  // namespace kelvractl
