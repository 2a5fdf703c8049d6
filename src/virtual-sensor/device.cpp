// device.cpp - counting, setting up, opening and closing the sensor, and the facts it reports.
#include "replay.h"
#include "vs_internal.h"

namespace kelvs {

int find_device(State &s, KELFPSCAN_HANDLE handle, Device *&device)
{
    if (!handle)
        return KELVS_ERR_HANDLE;
    auto it = s.devices.find(reinterpret_cast<uintptr_t>(handle));
    if (it == s.devices.end())
        return KELVS_ERR_HANDLE;
    if (it->second.gone)
        return KELVS_ERR_GONE;
    device = &it->second;
    return 0;
}

}  // namespace kelvs

using kelvs::Answer;
using kelvs::Device;
using kelvs::State;

KELVS_EXPORT int KELFPSCAN_GetDeviceCount(int *count)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::get_device_count(s, count); }))
        return *replayed;
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    auto rec = kelvs::make_record(KELVS_GetDeviceCount);
    int rc = 0;
    if (auto a = kelvs::take_answer(s, KELVS_GetDeviceCount)) {
        rc = a->rc;
        if (a->has_out && count)
            *count = a->out[0];
    } else if (!count) {
        rc = KELVS_ERR_ARGUMENT;
    } else {
        *count = s.unplugged ? 0 : s.profile.count;
    }
    return kelvs::finish_call(s, rec, rc);
}

KELVS_EXPORT int KELFPSCAN_GlobalInit(void)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::global_init(s); }))
        return *replayed;
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    auto rec = kelvs::make_record(KELVS_GlobalInit);
    auto a = kelvs::take_answer(s, KELVS_GlobalInit);
    int rc = 0;
    if (a && a->rc != 0) {
        rc = a->rc;
    } else if (s.initialised) {
        rc = a ? a->rc : 1;
    } else {
        s.initialised = true;
        rc = a ? a->rc : 0;
    }
    return kelvs::finish_call(s, rec, rc);
}

KELVS_EXPORT int KELFPSCAN_GlobalFree(void)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::global_free(s); }))
        return *replayed;
    int rc = 0;
    bool freed = false;
    {
        auto &s = kelvs::state();
        std::lock_guard lock(s.mu);
        auto rec = kelvs::make_record(KELVS_GlobalFree);
        auto a = kelvs::take_answer(s, KELVS_GlobalFree);
        if (a && a->rc != 0) {
            rc = a->rc;
        } else if (!s.initialised) {
            rc = a ? a->rc : 1;
        } else {
            // Releasing the library releases every sensor still open through it, and the claim.
            s.initialised = false;
            s.devices.clear();
            kelvs::release_claim_if_unused(s);
            freed = true;
            rc = a ? a->rc : 0;
        }
        kelvs::finish_call(s, rec, rc);
    }
    if (freed)
        kelvs::control_socket_stop(true);
    return rc;
}

KELVS_EXPORT int KELFPSCAN_OpenDevice(KELFPSCAN_HANDLE *handle, int index)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::open_device(s, handle, index); }))
        return *replayed;
    std::string socket_path;
    int rc = 0;
    {
        auto &s = kelvs::state();
        std::lock_guard lock(s.mu);
        auto rec = kelvs::make_record(KELVS_OpenDevice, index);
        auto a = kelvs::take_answer(s, KELVS_OpenDevice);
        s.open_refused_by = 0;
        int owner = 0;
        if (a && a->rc != 0) {
            rc = a->rc;
        } else if (!handle) {
            rc = KELVS_ERR_ARGUMENT;
        } else if (!s.initialised) {
            rc = KELVS_ERR_NOT_INITIALISED;
        } else if (s.unplugged || index < 0 || index >= s.profile.count) {
            rc = KELVS_ERR_NO_DEVICE;
        } else if ((owner = kelvs::claim_sensor(s, index)) != 0) {
            s.open_refused_by = owner;
            rc = KELVS_ERR_BUSY;
        } else {
            // The first handle takes the claim: only now is the store read, and the socket served.
            const bool first = s.devices.empty();
            uintptr_t id = s.next_handle++;
            Device d;
            d.index = index;
            d.chip = s.profile.chip;
            d.width = d.chip ? int(KELFPSCAN_MOC_IMAGE_WIDTH) : s.profile.width;
            d.height = d.chip ? int(KELFPSCAN_MOC_IMAGE_HEIGHT) : s.profile.height;
            s.devices.emplace(id, std::move(d));
            if (first) {
                kelvs::reload_store(s);
                socket_path = s.profile.control_socket;
            }
            *handle = reinterpret_cast<KELFPSCAN_HANDLE>(id);
        }
        kelvs::finish_call(s, rec, rc);
    }
    if (!socket_path.empty())
        kelvs::control_socket_start(socket_path, false);
    return rc;
}

KELVS_EXPORT int KELFPSCAN_CloseDevice(KELFPSCAN_HANDLE *handle)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::close_device(s, handle); }))
        return *replayed;
    bool last = false;
    int rc = 0;
    {
        auto &s = kelvs::state();
        std::lock_guard lock(s.mu);
        auto rec = kelvs::make_record(KELVS_CloseDevice);
        auto a = kelvs::take_answer(s, KELVS_CloseDevice);
        if (a && a->rc != 0) {
            rc = a->rc;
        } else if (!handle) {
            rc = KELVS_ERR_ARGUMENT;
        } else {
            // An unplugged sensor can still be closed: that is how its handle is given back.
            auto it = *handle ? s.devices.find(reinterpret_cast<uintptr_t>(*handle)) : s.devices.end();
            if (it == s.devices.end()) {
                rc = KELVS_ERR_HANDLE;
            } else {
                s.devices.erase(it);
                *handle = nullptr;
                last = s.devices.empty();
                kelvs::release_claim_if_unused(s);
            }
        }
        kelvs::finish_call(s, rec, rc);
    }
    if (last)
        kelvs::control_socket_stop(true);
    return rc;
}

KELVS_EXPORT int KELFPSCAN_GetDeviceWorkMode(KELFPSCAN_HANDLE handle, unsigned char *mode)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::get_device_work_mode(s, handle, mode); }))
        return *replayed;
    return kelvs::handle_call(
        kelvs::make_record(KELVS_GetDeviceWorkMode), handle,
        [&](const Answer &a) {
            if (mode)
                *mode = static_cast<unsigned char>(a.out[0]);
        },
        [&](State &, Device &d) {
            if (!mode)
                return int(KELVS_ERR_ARGUMENT);
            *mode = d.chip ? 1 : 0;
            return 0;
        });
}

KELVS_EXPORT int KELFPSCAN_GetImageInfo(KELFPSCAN_HANDLE handle, int *width, int *height, int *dpi)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::get_image_info(s, handle, width, height, dpi); }))
        return *replayed;
    return kelvs::handle_call(
        kelvs::make_record(KELVS_GetImageInfo), handle,
        [&](const Answer &a) {
            if (width)
                *width = a.out[0];
            if (height)
                *height = a.out[1];
            if (dpi)
                *dpi = a.out[2];
        },
        [&](State &s, Device &d) {
            if (!width || !height || !dpi)
                return int(KELVS_ERR_ARGUMENT);
            *width = d.width;
            *height = d.height;
            *dpi = s.profile.dpi;
            return 0;
        });
}

KELVS_EXPORT int KELFPSCAN_GetFwMinorVersion(KELFPSCAN_HANDLE handle, int *minor)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::get_fw_minor_version(s, handle, minor); }))
        return *replayed;
    return kelvs::handle_call(
        kelvs::make_record(KELVS_GetFwMinorVersion), handle,
        [&](const Answer &a) {
            if (minor)
                *minor = a.out[0];
        },
        [&](State &s, Device &) {
            if (!minor)
                return int(KELVS_ERR_ARGUMENT);
            *minor = s.profile.fw_minor;
            return 0;
        });
}

KELVS_EXPORT int KELFPSCAN_GetFwVersion(KELFPSCAN_HANDLE handle, unsigned char *version)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::get_fw_version(s, handle, version); }))
        return *replayed;
    return kelvs::handle_call(
        kelvs::make_record(KELVS_GetFwVersion), handle,
        [&](const Answer &a) {
            if (version)
                *version = static_cast<unsigned char>(a.out[0]);
        },
        [&](State &s, Device &) {
            if (!version)
                return int(KELVS_ERR_ARGUMENT);
            *version = static_cast<unsigned char>(s.profile.fw_version);
            return 0;
        });
}

KELVS_EXPORT int KELFPSCAN_GetMcuType(KELFPSCAN_HANDLE handle, int *mcuType, int *sensorType)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::get_mcu_type(s, handle, mcuType, sensorType); }))
        return *replayed;
    return kelvs::handle_call(
        kelvs::make_record(KELVS_GetMcuType), handle,
        [&](const Answer &a) {
            if (mcuType)
                *mcuType = a.out[0];
            if (sensorType)
                *sensorType = a.out[1];
        },
        [&](State &s, Device &) {
            if (!mcuType || !sensorType)
                return int(KELVS_ERR_ARGUMENT);
            *mcuType = s.profile.mcu_type;
            *sensorType = s.profile.sensor_type;
            return 0;
        });
}

KELVS_EXPORT int KELFPSCAN_SetTQ300UpdateFlag(KELFPSCAN_HANDLE handle)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::set_tq300_update_flag(s, handle); }))
        return *replayed;
    return kelvs::handle_call(
        kelvs::make_record(KELVS_SetTQ300UpdateFlag), handle, [](const Answer &) {},
        [](State &s, Device &) {
            s.update_flag = true;
            return 0;
        });
}
