// functions.cpp - the SDK's calls as a trace names them, and what each call is handed and answers.
#include "kelvra_trace.h"

#include <array>

namespace kelvra::trace {
namespace {

constexpr Direction in = Direction::in;
constexpr Direction out = Direction::out;

struct FunctionInfo {
    std::string_view name;
    std::span<const Parameter> parameters;
};

// Pointer outputs to one int or one byte are integers; a call that reads and writes the same pointer
// (CloseDevice's handle) has the parameter once in each direction.
constexpr Parameter kGetDeviceCount[] = {{"count", out, false}};
constexpr Parameter kOpenDevice[] = {{"handle", out, false}, {"index", in, false}};
constexpr Parameter kCloseDevice[] = {{"handle", in, false}, {"handle", out, false}};
constexpr Parameter kGetDeviceWorkMode[] = {{"handle", in, false}, {"mode", out, false}};
constexpr Parameter kGetImageInfo[] = {
    {"handle", in, false}, {"width", out, false}, {"height", out, false}, {"dpi", out, false}};
constexpr Parameter kGetFwMinorVersion[] = {{"handle", in, false}, {"minor", out, false}};
constexpr Parameter kGetFwVersion[] = {{"handle", in, false}, {"version", out, false}};
constexpr Parameter kGetMcuType[] = {{"handle", in, false}, {"mcuType", out, false}, {"sensorType", out, false}};
constexpr Parameter kHandleOnly[] = {{"handle", in, false}};
constexpr Parameter kCaptureRawData[] = {{"handle", in, false}, {"mode", in, false}, {"image", out, true}};
constexpr Parameter kImgQuality[] = {
    {"width", in, false}, {"height", in, false}, {"image", in, true}, {"quality", out, false}};
constexpr Parameter kExtractFeature[] = {{"handle", in, false}, {"mode", in, false}, {"feature", out, true}};
constexpr Parameter kVerifyExt[] = {{"handle", in, false},    {"level", in, false},     {"feature", in, true},
                                    {"count", in, false},     {"templates", in, true},  {"similarity", out, false},
                                    {"match", out, false}};
constexpr Parameter kEnrollForOS[] = {{"handle", in, false}, {"step", in, false}};
constexpr Parameter kStoreTemplateForOS[] = {
    {"handle", in, false}, {"userRecord", in, false}, {"fingerRecord", in, false}};
constexpr Parameter kSearchForOS[] = {{"handle", in, false},
                                      {"userInfo", in, false},
                                      {"searchRes", out, false},
                                      {"matchedId", out, false},
                                      {"matchScore", out, false}};
constexpr Parameter kResetIdentifyCntForOS[] = {{"handle", in, false}, {"count", in, false}};
constexpr Parameter kDelUserFpsFroOS[] = {{"handle", in, false}, {"userInfo", in, false}, {"fingerInfo", in, false}};
constexpr Parameter kDelAllUserFpsFroOS[] = {{"handle", in, false}, {"userInfo", in, false}};
constexpr Parameter kDelOSInfoFpsFroOS[] = {{"handle", in, false}, {"osTag", in, false}};

// Indexed by Function: the order of kelfpscan.h.
constexpr std::array<FunctionInfo, kFunctionCount> kFunctions = {{
    {"KELFPSCAN_GetDeviceCount", kGetDeviceCount},
    {"KELFPSCAN_GlobalInit", {}},
    {"KELFPSCAN_GlobalFree", {}},
    {"KELFPSCAN_OpenDevice", kOpenDevice},
    {"KELFPSCAN_CloseDevice", kCloseDevice},
    {"KELFPSCAN_GetDeviceWorkMode", kGetDeviceWorkMode},
    {"KELFPSCAN_GetImageInfo", kGetImageInfo},
    {"KELFPSCAN_GetFwMinorVersion", kGetFwMinorVersion},
    {"KELFPSCAN_GetFwVersion", kGetFwVersion},
    {"KELFPSCAN_GetMcuType", kGetMcuType},
    {"KELFPSCAN_SetTQ300UpdateFlag", kHandleOnly},
    {"KELFPSCAN_CaptureRawData", kCaptureRawData},
    {"KELFPSCAN_ImgQuality", kImgQuality},
    {"KELFPSCAN_ExtractFeature", kExtractFeature},
    {"KELFPSCAN_VerifyExt", kVerifyExt},
    {"KELFPSCAN_EnrollForOS", kEnrollForOS},
    {"KELFPSCAN_StoreTemplateForOS", kStoreTemplateForOS},
    {"KELFPSCAN_SearchForOS", kSearchForOS},
    {"KELFPSCAN_ResetIdentifyCntForOS", kResetIdentifyCntForOS},
    {"KELFPSCAN_DelUserFpsFroOS", kDelUserFpsFroOS},
    {"KELFPSCAN_DelAllUserFpsFroOS", kDelAllUserFpsFroOS},
    {"KELFPSCAN_DelOSInfoFpsFroOS", kDelOSInfoFpsFroOS},
}};
static_assert(kFunctions.size() == static_cast<std::size_t>(Function::DelOSInfoFpsFroOS) + 1);

const FunctionInfo &info(Function function)
{
    return kFunctions[static_cast<std::size_t>(function)];
}

}  // namespace

std::string_view function_name(Function function)
{
    if (static_cast<std::size_t>(function) >= kFunctionCount)
        return "KELFPSCAN_(unknown)";
    return info(function).name;
}

std::optional<Function> function_from_name(std::string_view name)
{
    for (std::size_t i = 0; i < kFunctions.size(); ++i)
        if (kFunctions[i].name == name)
            return static_cast<Function>(i);
    return std::nullopt;
}

std::span<const Parameter> parameters(Function function)
{
    if (static_cast<std::size_t>(function) >= kFunctionCount)
        return {};
    return info(function).parameters;
}

}  // namespace kelvra::trace
