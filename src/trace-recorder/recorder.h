// recorder.h - the recorder's state: the real SDK it forwards to and the trace it writes.
#ifndef KELREC_RECORDER_H
#define KELREC_RECORDER_H

#include "kelfpscan.h"
#include "kelvra_trace.h"
#include "sdk_calls.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#define KELREC_EXPORT extern "C" __attribute__((visibility("default")))

namespace kelrec {

// The real SDK's calls, looked up by their names with the types of kelfpscan.h.
struct Sdk {
    decltype(&KELFPSCAN_GetDeviceCount) GetDeviceCount = nullptr;
    decltype(&KELFPSCAN_GlobalInit) GlobalInit = nullptr;
    decltype(&KELFPSCAN_GlobalFree) GlobalFree = nullptr;
    decltype(&KELFPSCAN_OpenDevice) OpenDevice = nullptr;
    decltype(&KELFPSCAN_CloseDevice) CloseDevice = nullptr;
    decltype(&KELFPSCAN_GetDeviceWorkMode) GetDeviceWorkMode = nullptr;
    decltype(&KELFPSCAN_GetImageInfo) GetImageInfo = nullptr;
    decltype(&KELFPSCAN_GetFwMinorVersion) GetFwMinorVersion = nullptr;
    decltype(&KELFPSCAN_GetFwVersion) GetFwVersion = nullptr;
    decltype(&KELFPSCAN_GetMcuType) GetMcuType = nullptr;
    decltype(&KELFPSCAN_SetTQ300UpdateFlag) SetTQ300UpdateFlag = nullptr;
    decltype(&KELFPSCAN_CaptureRawData) CaptureRawData = nullptr;
    decltype(&KELFPSCAN_ImgQuality) ImgQuality = nullptr;
    decltype(&KELFPSCAN_ExtractFeature) ExtractFeature = nullptr;
    decltype(&KELFPSCAN_VerifyExt) VerifyExt = nullptr;
    decltype(&KELFPSCAN_EnrollForOS) EnrollForOS = nullptr;
    decltype(&KELFPSCAN_StoreTemplateForOS) StoreTemplateForOS = nullptr;
    decltype(&KELFPSCAN_SearchForOS) SearchForOS = nullptr;
    decltype(&KELFPSCAN_ResetIdentifyCntForOS) ResetIdentifyCntForOS = nullptr;
    decltype(&KELFPSCAN_DelUserFpsFroOS) DelUserFpsFroOS = nullptr;
    decltype(&KELFPSCAN_DelAllUserFpsFroOS) DelAllUserFpsFroOS = nullptr;
    decltype(&KELFPSCAN_DelOSInfoFpsFroOS) DelOSInfoFpsFroOS = nullptr;
};

// A call between its entry and its return: what it was handed and what its outputs held before.
struct Pending {
    bool recording = false;
    kelvra::trace::SdkCall call;
    kelvra::trace::OutputSnapshot before;
    std::uint32_t thread = 0;
    std::int64_t start_ns = 0;
};

class Recorder {
public:
    // The SDK, loaded on first use from the key file beside the recorder when no host configured it;
    // nullptr when there is none.
    const Sdk *sdk();
    bool configure(const std::string &sdk_path, const std::string &trace_path, std::string &error);
    bool add_section(std::string name, std::vector<std::uint8_t> content, std::string &error);
    bool record_stop();
    std::uint64_t calls();
    bool finish(std::string &error);

    Pending begin(const std::function<kelvra::trace::SdkCall(kelvra::trace::SdkSession &)> &build);
    void end(Pending &pending, int rc);

private:
    bool load_sdk(const std::string &path, std::string &error);
    bool start_trace(const std::string &path, std::string &error);
    void configure_from_file();
    std::int64_t now_ns() const;
    std::uint32_t thread_id();
    bool write(const kelvra::trace::Entry &entry);

    std::mutex mu_;
    bool tried_ = false;          // the SDK was looked for
    std::string sdk_path_;
    void *library_ = nullptr;
    Sdk sdk_;
    bool sdk_ready_ = false;
    std::unique_ptr<kelvra::trace::Writer> writer_;
    kelvra::trace::SdkSession session_;
    std::chrono::steady_clock::time_point origin_;
    std::map<std::thread::id, std::uint32_t> threads_;
    std::uint64_t calls_ = 0;
};

Recorder &recorder();

// One forwarded call: recorded around the real one when a trace is being written.
template <typename Fn, typename Build, typename... Args>
int forward(Fn Sdk::*member, const Build &build, Args... args)
{
    Recorder &r = recorder();
    const Sdk *sdk = r.sdk();
    if (sdk == nullptr || sdk->*member == nullptr)
        return -1;
    Pending pending = r.begin(build);
    const int rc = (sdk->*member)(args...);
    if (pending.recording)
        r.end(pending, rc);
    return rc;
}

}  // namespace kelrec

#endif
