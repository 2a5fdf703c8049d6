// forward.cpp - the SDK's calls as the recorder exports them: each one forwarded to the real SDK and,
// while a trace is written, recorded around it.
#include "recorder.h"

using kelrec::Sdk;
using kelrec::forward;
namespace trace = kelvra::trace;

KELREC_EXPORT int KELFPSCAN_GetDeviceCount(int *count)
{
    return forward(
        &Sdk::GetDeviceCount, [&](trace::SdkSession &s) { return trace::get_device_count(s, count); }, count);
}

KELREC_EXPORT int KELFPSCAN_GlobalInit(void)
{
    return forward(
        &Sdk::GlobalInit, [&](trace::SdkSession &s) { return trace::global_init(s); });
}

KELREC_EXPORT int KELFPSCAN_GlobalFree(void)
{
    return forward(
        &Sdk::GlobalFree, [&](trace::SdkSession &s) { return trace::global_free(s); });
}

KELREC_EXPORT int KELFPSCAN_OpenDevice(KELFPSCAN_HANDLE *handle, int index)
{
    return forward(
        &Sdk::OpenDevice, [&](trace::SdkSession &s) { return trace::open_device(s, handle, index); }, handle, index);
}

KELREC_EXPORT int KELFPSCAN_CloseDevice(KELFPSCAN_HANDLE *handle)
{
    return forward(
        &Sdk::CloseDevice, [&](trace::SdkSession &s) { return trace::close_device(s, handle); }, handle);
}

KELREC_EXPORT int KELFPSCAN_GetDeviceWorkMode(KELFPSCAN_HANDLE handle, unsigned char *mode)
{
    return forward(
        &Sdk::GetDeviceWorkMode, [&](trace::SdkSession &s) { return trace::get_device_work_mode(s, handle, mode); }, handle, mode);
}

KELREC_EXPORT int KELFPSCAN_GetImageInfo(KELFPSCAN_HANDLE handle, int *width, int *height, int *dpi)
{
    return forward(
        &Sdk::GetImageInfo, [&](trace::SdkSession &s) { return trace::get_image_info(s, handle, width, height, dpi); }, handle, width, height, dpi);
}

KELREC_EXPORT int KELFPSCAN_GetFwMinorVersion(KELFPSCAN_HANDLE handle, int *minor)
{
    return forward(
        &Sdk::GetFwMinorVersion, [&](trace::SdkSession &s) { return trace::get_fw_minor_version(s, handle, minor); }, handle, minor);
}

KELREC_EXPORT int KELFPSCAN_GetFwVersion(KELFPSCAN_HANDLE handle, unsigned char *version)
{
    return forward(
        &Sdk::GetFwVersion, [&](trace::SdkSession &s) { return trace::get_fw_version(s, handle, version); }, handle, version);
}

KELREC_EXPORT int KELFPSCAN_GetMcuType(KELFPSCAN_HANDLE handle, int *mcuType, int *sensorType)
{
    return forward(
        &Sdk::GetMcuType, [&](trace::SdkSession &s) { return trace::get_mcu_type(s, handle, mcuType, sensorType); }, handle, mcuType, sensorType);
}

KELREC_EXPORT int KELFPSCAN_SetTQ300UpdateFlag(KELFPSCAN_HANDLE handle)
{
    return forward(
        &Sdk::SetTQ300UpdateFlag, [&](trace::SdkSession &s) { return trace::set_tq300_update_flag(s, handle); }, handle);
}

KELREC_EXPORT int KELFPSCAN_CaptureRawData(KELFPSCAN_HANDLE handle, int mode, unsigned char *image)
{
    return forward(
        &Sdk::CaptureRawData, [&](trace::SdkSession &s) { return trace::capture_raw_data(s, handle, mode, image); }, handle, mode, image);
}

KELREC_EXPORT int KELFPSCAN_ImgQuality(int width, int height, const unsigned char *image, int *quality)
{
    return forward(
        &Sdk::ImgQuality, [&](trace::SdkSession &s) { return trace::img_quality(s, width, height, image, quality); }, width, height, image, quality);
}

KELREC_EXPORT int KELFPSCAN_ExtractFeature(KELFPSCAN_HANDLE handle, int mode, unsigned char *feature)
{
    return forward(
        &Sdk::ExtractFeature, [&](trace::SdkSession &s) { return trace::extract_feature(s, handle, mode, feature); }, handle, mode, feature);
}

KELREC_EXPORT int KELFPSCAN_VerifyExt(KELFPSCAN_HANDLE handle, int level, const unsigned char *feature, int count, const unsigned char *templates, int *similarity, int *match)
{
    return forward(
        &Sdk::VerifyExt, [&](trace::SdkSession &s) { return trace::verify_ext(s, handle, level, feature, count, templates, similarity, match); }, handle, level, feature, count, templates, similarity, match);
}

KELREC_EXPORT int KELFPSCAN_EnrollForOS(KELFPSCAN_HANDLE handle, unsigned char step)
{
    return forward(
        &Sdk::EnrollForOS, [&](trace::SdkSession &s) { return trace::enroll_for_os(s, handle, step); }, handle, step);
}

KELREC_EXPORT int KELFPSCAN_StoreTemplateForOS(KELFPSCAN_HANDLE handle, const unsigned char *userRecord, const unsigned char *fingerRecord)
{
    return forward(
        &Sdk::StoreTemplateForOS, [&](trace::SdkSession &s) { return trace::store_template_for_os(s, handle, userRecord, fingerRecord); }, handle, userRecord, fingerRecord);
}

KELREC_EXPORT int KELFPSCAN_SearchForOS(KELFPSCAN_HANDLE handle, const unsigned char *userInfo, unsigned char *searchRes, int *matchedId, unsigned int *matchScore)
{
    return forward(
        &Sdk::SearchForOS, [&](trace::SdkSession &s) { return trace::search_for_os(s, handle, userInfo, searchRes, matchedId, matchScore); }, handle, userInfo, searchRes, matchedId, matchScore);
}

KELREC_EXPORT int KELFPSCAN_ResetIdentifyCntForOS(KELFPSCAN_HANDLE handle, int count)
{
    return forward(
        &Sdk::ResetIdentifyCntForOS, [&](trace::SdkSession &s) { return trace::reset_identify_cnt_for_os(s, handle, count); }, handle, count);
}

KELREC_EXPORT int KELFPSCAN_DelUserFpsFroOS(KELFPSCAN_HANDLE handle, const unsigned char *userInfo, const unsigned char *fingerInfo)
{
    return forward(
        &Sdk::DelUserFpsFroOS, [&](trace::SdkSession &s) { return trace::del_user_fps_fro_os(s, handle, userInfo, fingerInfo); }, handle, userInfo, fingerInfo);
}

KELREC_EXPORT int KELFPSCAN_DelAllUserFpsFroOS(KELFPSCAN_HANDLE handle, const unsigned char *userInfo)
{
    return forward(
        &Sdk::DelAllUserFpsFroOS, [&](trace::SdkSession &s) { return trace::del_all_user_fps_fro_os(s, handle, userInfo); }, handle, userInfo);
}

KELREC_EXPORT int KELFPSCAN_DelOSInfoFpsFroOS(KELFPSCAN_HANDLE handle, const char *osTag)
{
    return forward(
        &Sdk::DelOSInfoFpsFroOS, [&](trace::SdkSession &s) { return trace::del_os_info_fps_fro_os(s, handle, osTag); }, handle, osTag);
}
