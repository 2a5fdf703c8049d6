// kelvra_driver.cpp - the host-facing operations of the Kelvra Dactylen driver.
#include "kelvra_endings.h"
#include "kelvra_internal.h"
#include "kelvra_platform.h"
#include "kelvra_records.h"

#include <glib.h>
#include <libintl.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

using kelvra::priv_of;
using kelvra::tr;

// The catalogue is looked up in the installed locale directory from the moment the module is loaded.
[[maybe_unused]] const bool g_text_domain_bound = [] {
    bindtextdomain(KELVRA_TEXT_DOMAIN, KELVRA_LOCALEDIR);
    bind_textdomain_codeset(KELVRA_TEXT_DOMAIN, "UTF-8");
    return true;
}();

constexpr int kStopPollMs = 50;
constexpr int kUpdatePauseMs = 300;
constexpr int kEnrollEntryPauseMs = 1000;
constexpr int kCleanEntryPauseMs = 100;

// Firmware whose sensors must be flagged for an update when they are closed.
constexpr int kUpdateMaxMinorVersion = 72;
constexpr unsigned char kUpdateVersion = 23;
constexpr int kUpdateSensorType = 37;
constexpr int kUpdateMcuType = 7;

void run_update_script() { kelvra::platform().run_command(kelvra::platform().update_script); }

void clear_ops_slots(bio_dev *dev)
{
    dev->ops_driver_init = nullptr;
    dev->ops_free = nullptr;
    dev->ops_discover = nullptr;
    dev->ops_open = nullptr;
    dev->ops_close = nullptr;
    dev->ops_enroll = nullptr;
    dev->ops_verify = nullptr;
    dev->ops_identify = nullptr;
    dev->ops_search = nullptr;
    dev->ops_clean = nullptr;
    dev->ops_get_feature_list = nullptr;
    dev->ops_stop_by_user = nullptr;
    dev->ops_get_dev_status_mesg = nullptr;
    dev->ops_get_ops_result_mesg = nullptr;
    dev->ops_get_notify_mid_mesg = nullptr;
    dev->ops_attach = nullptr;
    dev->ops_detach = nullptr;
}

// Open found an image size the capture buffer cannot be made for: the SDK would write past it.
bool image_geometry_usable(const kelvra_driver_t *priv)
{
    if (priv->imageW <= 0 || priv->imageH <= 0)
        return false;
    return static_cast<long long>(priv->imageW) * priv->imageH <= INT_MAX;
}

// Closes the sensor and releases the SDK: before setting up again, and when open fails after the sensor
// was opened.
void release_sensor(kelvra_driver_t *priv)
{
    priv->sensorOpen = false;
    KELFPSCAN_CloseDevice(&priv->handle);
    priv->handle = nullptr;
    KELFPSCAN_GlobalFree();
}

// A stop request is answered once a loop acknowledged it, a walk ended, open reset the flag, or the
// operation returned.
bool stop_wait_over(const kelvra_driver_t *priv)
{
    const int32_t flag = priv->ctrlFlag.load();
    return flag == CTRL_STOPPED || flag == CTRL_FINISHED || flag == CTRL_IDLE || priv->operationsRunning.load() == 0;
}

// An operation that needs the sensor while none is open makes no SDK call: a real SDK may crash on a
// handle it released. True when the operation was refused.
bool refused_while_not_open(bio_dev *dev)
{
    if (priv_of(dev)->sensorOpen)
        return false;
    kelvra::end_with_error(dev, kelvra::Order::IdleResultNotify, tr("The fingerprint sensor is not open"));
    return true;
}

// Firmware 23.x up to minor 72 on this MCU and sensor needs the update; later queries are skipped
// as soon as one fails or does not match.
bool firmware_needs_update(void *handle)
{
    int minorVersion = 0;
    if (KELFPSCAN_GetFwMinorVersion(handle, &minorVersion) != 0 || minorVersion > kUpdateMaxMinorVersion)
        return false;
    unsigned char version = 0;
    if (KELFPSCAN_GetFwVersion(handle, &version) != 0 || version != kUpdateVersion)
        return false;
    int mcuType = 0;
    int sensorType = 0;
    if (KELFPSCAN_GetMcuType(handle, &mcuType, &sensorType) != 0)
        return false;
    return sensorType == kUpdateSensorType && mcuType == kUpdateMcuType;
}

// How far open came.
struct Opening {
    enum class End { Opened, NoSensor, SdkRefused, OpenFailed, UnusableImage, NoImageBuffer };
    End end;
    int code = 0;  // SdkRefused, OpenFailed: the SDK's answer
};

// On a sensor just opened: its work mode (and on the chip the marker check), its image geometry, and the
// capture buffer. A failure closes the sensor and releases the SDK again.
Opening take_sensor_in_use(bio_dev *dev)
{
    using End = Opening::End;
    kelvra_driver_t *priv = priv_of(dev);
    // The answers of the work-mode, marker and geometry queries are not looked at: open goes on with what
    // they left, as hosts of the first release saw it do.
    KELFPSCAN_GetDeviceWorkMode(priv->handle, &mocmohFlag_Dev1);
    if (mocmohFlag_Dev1 != 0)
        kelvra::check_reinstall_marker(dev);

    KELFPSCAN_GetImageInfo(priv->handle, &priv->imageW, &priv->imageH, &priv->imageDPI);
    bio_print_debug(tr("获取指纹图像宽、高、DPI：[%d, %d, %d]\n"), priv->imageW, priv->imageH, priv->imageDPI);

    iops_buf_free(priv->rawImage);
    priv->rawImage = nullptr;
    // Without a capture buffer nothing can be captured: the sensor and the SDK are released again.
    if (!image_geometry_usable(priv)) {
        release_sensor(priv);
        return {End::UnusableImage};
    }
    priv->rawImage = static_cast<unsigned char *>(
        iops_buf_alloc(static_cast<size_t>(priv->imageW) * static_cast<size_t>(priv->imageH)));
    if (priv->rawImage == nullptr) {
        release_sensor(priv);
        return {End::NoImageBuffer};
    }

    priv->ctrlFlag = CTRL_RUNNING;
    priv->sensorOpen = true;
    return {End::Opened};
}

// Sets the SDK up, opens the first sensor and takes it in use.
Opening open_sensor(bio_dev *dev)
{
    using End = Opening::End;
    kelvra_driver_t *priv = priv_of(dev);

    // Only the count decides, not the call's answer.
    int count = 0;
    KELFPSCAN_GetDeviceCount(&count);
    if (count <= 0) {
        // The host takes a failed open for a device that is not open: a sensor still held from an earlier
        // open without close is let go, or the operations sent after this failure would run on it.
        if (priv->handle != nullptr || priv->sensorOpen)
            release_sensor(priv);
        return {End::NoSensor};
    }

    priv->ctrlFlag = CTRL_IDLE;
    priv->timeoutMS = bio_get_ops_timeout_ms();

    // Opened before without a close: release that sensor and the SDK before setting up again.
    if (priv->handle != nullptr || priv->sensorOpen)
        release_sensor(priv);

    const int init = KELFPSCAN_GlobalInit();
    if (init != 0)
        return {End::SdkRefused, init};
    bio_print_debug(tr("初始化%s SDK成功\n"), dev->device_name);

    const int ret = KELFPSCAN_OpenDevice(&priv->handle, 0);
    if (ret != 0) {
        // An SDK left set up refuses every later set-up: one busy moment at boot would lock the sensor out
        // until the host happened to close the device.
        KELFPSCAN_GlobalFree();
        priv->handle = nullptr;
        return {End::OpenFailed, ret};
    }
    return take_sensor_in_use(dev);
}

}  // namespace

extern "C" {

int kelvra_ops_configure(bio_dev *dev, GKeyFile *conf)
{
    dev->driver_id = bio_get_empty_driver_id();

    dev->bioinfo.biotype = BioT_FingerPrint;
    dev->bioinfo.stotype = StoT_Device;
    dev->bioinfo.eigtype = EigT_Eigenvalue;
    dev->bioinfo.vertype = VerT_Software;
    dev->bioinfo.idtype = IdT_Software;
    dev->bioinfo.bustype = BusT_USB;

    dev->ops_driver_init = kelvra_ops_driver_init;
    dev->ops_free = kelvra_ops_free;
    dev->ops_discover = kelvra_ops_discover;
    dev->ops_open = kelvra_ops_open;
    dev->ops_close = kelvra_ops_close;
    dev->ops_capture = nullptr;
    dev->ops_enroll = kelvra_ops_enroll;
    dev->ops_verify = kelvra_ops_verify;
    dev->ops_identify = kelvra_ops_identify;
    dev->ops_search = kelvra_ops_search;
    dev->ops_clean = kelvra_ops_clean;
    dev->ops_get_feature_list = kelvra_ops_get_feature_list;
    dev->ops_feature_rename = nullptr;
    dev->ops_stop_by_user = kelvra_ops_stop_by_user;
    dev->ops_get_dev_status_mesg = kelvra_ops_get_dev_status_mesg;
    dev->ops_get_ops_result_mesg = kelvra_ops_get_ops_result_mesg;
    dev->ops_get_notify_mid_mesg = kelvra_ops_get_notify_mid_mesg;
    dev->ops_attach = kelvra_ops_attach;
    dev->ops_detach = kelvra_ops_detach;

    dev->drv_api_version.major = 0;
    dev->drv_api_version.minor = 10;
    dev->drv_api_version.function = 2;

    kelvra::tell_fresh_start(dev);

    dev->enable = bio_dev_is_enable(dev, conf);

    auto *priv = new (std::nothrow) kelvra_driver_t{};
    if (priv == nullptr) {
        // Without its record the driver can run nothing: offer the host no operation at all.
        bio_print_error("[%s] out of memory for the driver's state\n", dev->device_name);
        clear_ops_slots(dev);
        dev->dev_priv = nullptr;
        return -1;
    }
    dev->dev_priv = priv;

    kelvra::read_configuration(dev, conf);
    return 0;
}

int kelvra_ops_driver_init(bio_dev *) { return 0; }

void kelvra_ops_free(bio_dev *dev)
{
    // A host that frees a device it opened without closing it would otherwise lose the capture buffer
    // with the record; a daemon that does so at every reconfiguration would grow for weeks.
    if (kelvra_driver_t *priv = priv_of(dev); priv != nullptr)
        iops_buf_free(priv->rawImage);
    delete priv_of(dev);
    dev->dev_priv = nullptr;
}

void kelvra_ops_attach(bio_dev *) {}

void kelvra_ops_detach(bio_dev *) {}

int kelvra_ops_discover(bio_dev *dev)
{
    bio_print_info(tr("Detecting %s device ...\n"), dev->device_name);
    const int n = kelvra::count_sensors();
    if (n < 0)
        bio_print_error(tr("Detect %s device error, error code: %d\n"), dev->device_name, n);
    else if (n == 0)
        bio_print_info(tr("No %s device detected\n"), dev->device_name);
    else
        bio_print_info(tr("There is %d %s fingerprint device detected\n"), n, dev->device_name);
    return n;
}

int kelvra_ops_open(bio_dev *dev)
{
    kelvra_driver_t *priv = priv_of(dev);

    kelvra::tell_fresh_start(dev);
    if (kelvra::refused_while_disabled(dev))
        return -1;
    bio_set_dev_status(dev, DEVS_OPEN_DOING);

    const Opening opening = open_sensor(dev);
    switch (opening.end) {
    case Opening::End::Opened:
        kelvra::end_opened(dev);
        return 0;
    case Opening::End::NoSensor:
        kelvra::end_with_error(dev, kelvra::Order::IdleResultNotify, tr("无可用设备"));
        // A sensor that is not found may be one waiting for its firmware: the script looks for it.
        run_update_script();
        return -1;
    case Opening::End::SdkRefused:
        // Left at "opening" the host would wait for this open for ever.
        bio_print_debug(tr("%s SDK已初始化，已忽略初始化\n"), dev->device_name);
        kelvra::end_with_error(dev, kelvra::Order::IdleResultNotify,
                               tr("Unable to set up the sensor SDK, error code: %d"), opening.code);
        return -1;
    case Opening::End::OpenFailed:
        kelvra::end_with_error(dev, kelvra::Order::IdleResultNotify, tr("打开设备失败，错误码：%d"), opening.code);
        return -1;
    case Opening::End::UnusableImage:
        kelvra::end_with_error(dev, kelvra::Order::ResultNotifyIdle,
                               tr("The sensor reported an unusable image size: %d x %d"), priv->imageW, priv->imageH);
        return -1;
    case Opening::End::NoImageBuffer:
        kelvra::end_with_error(dev, kelvra::Order::ResultNotifyIdle,
                               tr("Out of memory for the fingerprint image buffer"));
        return -1;
    }
    return -1;
}

void kelvra_ops_close(bio_dev *dev)
{
    kelvra_driver_t *priv = priv_of(dev);

    priv->sensorOpen = false;
    if (priv->handle != nullptr) {
        if (firmware_needs_update(priv->handle)) {
            KELFPSCAN_SetTQ300UpdateFlag(priv->handle);
            kelvra::sleep_ms(kUpdatePauseMs);
            run_update_script();
        }
        KELFPSCAN_CloseDevice(&priv->handle);
        priv->handle = nullptr;
    }

    // Cleared so that a second close does not release the buffer again.
    iops_buf_free(priv->rawImage);
    priv->rawImage = nullptr;

    if (KELFPSCAN_GlobalFree() == 0)
        bio_print_debug(tr("释放%s SDK成功\n"), dev->device_name);
    else
        bio_print_debug(tr("%s SDK未初始化，已忽略释放\n"), dev->device_name);
}

int kelvra_ops_stop_by_user(bio_dev *dev, int waiting_ms)
{
    bio_print_info(tr("Device %s[%d] received interrupt request\n"), dev->device_name, dev->driver_id);

    // Only the driver knows whether an operation runs: the host's status may be left busy by an earlier
    // failure, and an enrollment sets its own only after its first second.
    kelvra_driver_t *priv = priv_of(dev);
    if (priv == nullptr || priv->operationsRunning.load() == 0)
        return 0;

    int timeout = bio_get_ops_timeout_ms();
    if (waiting_ms < timeout)
        timeout = waiting_ms;

    priv->ctrlFlag = CTRL_STOP_REQUESTED;

    int timeused = 0;
    while (!stop_wait_over(priv) && timeused < timeout) {
        timeused += kStopPollMs;
        kelvra::sleep_ms(kStopPollMs);
    }
    return stop_wait_over(priv) ? 0 : -1;
}

const char *kelvra_ops_get_dev_status_mesg(bio_dev *) { return nullptr; }

const char *kelvra_ops_get_ops_result_mesg(bio_dev *) { return nullptr; }

const char *kelvra_ops_get_notify_mid_mesg(bio_dev *dev)
{
    switch (bio_get_notify_mid(dev)) {
    case MID_EXTENDED_MESSAGE: {
        kelvra_driver_t *priv = priv_of(dev);
        return priv != nullptr ? priv->extra_info : nullptr;
    }
    case MID_NEED_PRESS:
        return tr("Please press your finger");
    case MID_NEED_LIFT:
        return tr("Please lift your finger");
    case MID_GEN_TEMPLATE:
        return tr("Generating fingerprint characteristic data. Please wait...");
    case MID_IDENTIFY:
        return tr("Identifying fingerprint, please wait...");
    default:
        return nullptr;
    }
}

int kelvra_ops_enroll(bio_dev *dev, OpsActions, int uid, int idx, char *idx_name)
{
    const kelvra::RunningOperation running(dev);
    kelvra::sleep_ms(kEnrollEntryPauseMs);
    if (kelvra::refused_while_disabled(dev, kelvra::Refusal::WithNotify))
        return -1;
    // A stop that came during the pause ends the enrollment before it touches the sensor.
    if (priv_of(dev)->ctrlFlag.load() == CTRL_STOP_REQUESTED) {
        kelvra::end_stopped(dev);
        return -1;
    }
    if (refused_while_not_open(dev))
        return -1;
    return mocmohFlag_Dev1 != 0 ? kelvra::enroll_chip_mode(dev, uid, idx, idx_name)
                                : kelvra::enroll_host_mode(dev, uid, idx, idx_name);
}

int kelvra_ops_verify(bio_dev *dev, OpsActions, int uid, int idx)
{
    const kelvra::RunningOperation running(dev);
    if (kelvra::refused_while_disabled(dev) || refused_while_not_open(dev))
        return -1;
    return mocmohFlag_Dev1 != 0 ? kelvra::verify_chip_mode(dev, uid, idx) : kelvra::verify_host_mode(dev, uid, idx);
}

int kelvra_ops_identify(bio_dev *dev, OpsActions, int uid, int idx_start, int idx_end)
{
    const kelvra::RunningOperation running(dev);
    if (kelvra::refused_while_disabled(dev) || refused_while_not_open(dev))
        return -1;
    return mocmohFlag_Dev1 != 0 ? kelvra::identify_chip_mode(dev, uid, idx_start, idx_end)
                                : kelvra::identify_host_mode(dev, uid, idx_start, idx_end);
}

feature_info *kelvra_ops_search(bio_dev *dev, OpsActions, int uid, int idx_start, int idx_end)
{
    const kelvra::RunningOperation running(dev);
    if (kelvra::refused_while_disabled(dev) || refused_while_not_open(dev))
        return nullptr;
    return mocmohFlag_Dev1 != 0 ? kelvra::search_chip_mode(dev, uid, idx_start, idx_end)
                                : kelvra::search_host_mode(dev, uid, idx_start, idx_end);
}

feature_info *kelvra_ops_get_feature_list(bio_dev *dev, OpsActions, int uid, int idx_start, int idx_end)
{
    const kelvra::RunningOperation running(dev);
    if (kelvra::refused_while_disabled(dev))
        return nullptr;
    bio_sto_db *db = bio_sto_connect_db();
    bio_set_dev_status(dev, DEVS_GET_FLIST_DOING);
    if (db == nullptr) {
        // An unreadable database is not an empty one: the host must not show "no fingers enrolled".
        kelvra::end_outcome(dev, OPS_GET_FLIST_FAIL);
        return nullptr;
    }
    feature_info *list =
        bio_sto_get_feature_info(db, uid, dev->bioinfo.biotype, dev->device_name, idx_start, idx_end);
    print_feature_info(list);
    bio_sto_disconnect_db(db);
    kelvra::end_listed(dev);
    return list;
}

int kelvra_ops_clean(bio_dev *dev, OpsActions, int uid, int idx_start, int idx_end)
{
    const kelvra::RunningOperation running(dev);
    kelvra::sleep_ms(kCleanEntryPauseMs);
    if (kelvra::refused_while_disabled(dev))
        return 0;
    // The database alone serves a match-on-host clean; on-chip templates need the sensor.
    if (mocmohFlag_Dev1 != 0 && refused_while_not_open(dev))
        return -1;
    bio_set_dev_status(dev, DEVS_CLEAN_DOING);
    const int ret = mocmohFlag_Dev1 != 0 ? kelvra::clean_chip_mode(dev, uid, idx_start, idx_end)
                                         : kelvra::remove_records(dev, uid, idx_start, idx_end);
    if (ret == 0)
        kelvra::end_outcome(dev, OPS_CLEAN_SUCCESS);
    else
        kelvra::end_failed(dev, OPS_CLEAN_FAIL, kelvra::own_code(NOTIFY_CLEAN_FAIL));
    return ret;
}

}  // extern "C"

namespace kelvra {

int count_sensors()
{
    int count = 0;
    const int ret = KELFPSCAN_GetDeviceCount(&count);
    if (ret < 0)
        return ret;
    return count > 0 ? count : 0;
}

ReinstallCheck check_marker(bio_dev *dev)
{
    using End = ReinstallCheck::End;
    kelvra_driver_t *priv = priv_of(dev);
    char path[200] = {};
    std::snprintf(path, sizeof path, "%s/%s", platform().marker_dir, kMarkerName);

    if (FILE *existing = std::fopen(path, "r")) {
        std::fclose(existing);
        return {End::MarkerPresent};
    }
    // No marker: the driver's directory was installed afresh, so templates the sensor keeps for this
    // operating system belong to an earlier installation.
    FILE *created = std::fopen(path, "w+b");
    if (created == nullptr)
        return {End::NoMarkerPlace};
    const int ret = KELFPSCAN_DelOSInfoFpsFroOS(priv->handle, kOsTag);
    std::fclose(created);
    // The user's on-chip fingers vanish here; the log is where an administrator finds out why.
    if (ret == 0) {
        bio_print_info(tr("No marker file %s: the sensor removed the fingerprints stored under the tag \"%s\"\n"),
                       path, kOsTag);
        return {End::EarlierTemplatesRemoved};
    }
    // Without the marker the next open tries again; with it those templates would stay for good.
    std::remove(path);
    bio_print_info(tr("No marker file %s: the sensor did not remove the fingerprints stored under the tag \"%s\" "
                      "(error code %d); the next open tries again\n"),
                   path, kOsTag, ret);
    return {End::DeletionFailed, ret};
}

int check_reinstall_marker(bio_dev *dev)
{
    const ReinstallCheck check = check_marker(dev);
    switch (check.end) {
    case ReinstallCheck::End::MarkerPresent:
    case ReinstallCheck::End::EarlierTemplatesRemoved:
        return 0;
    case ReinstallCheck::End::NoMarkerPlace:
        return -1;
    case ReinstallCheck::End::DeletionFailed:
        return check.code;
    }
    return -1;
}

}  // namespace kelvra
