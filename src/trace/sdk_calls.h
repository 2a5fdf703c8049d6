// sdk_calls.h - the SDK's calls at their C boundary: each call's arguments turned into the trace's input
// values, and the caller's output buffers read into output values (recording) or written from them
// (replaying). The recorder and the replaying sensor share this one marshalling, so a replay hands a
// driver exactly the bytes the recorded SDK handed it.
#ifndef KELVRA_TRACE_SDK_CALLS_H
#define KELVRA_TRACE_SDK_CALLS_H

#include "kelfpscan.h"
#include "kelvra_trace.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace kelvra::trace {

struct SdkCall;

// What the calls so far told about the handles: their stable ids, and how large a frame of each is
// (width x height from its last GetImageInfo, 96 x 96 once its work mode says match-on-chip).
// Not thread-safe: the recorder and the replay each hold one under their own lock.
class SdkSession {
public:
    // 0 for NULL; a handle not seen before gets the next id.
    std::int64_t id_of(KELFPSCAN_HANDLE handle);
    // The handle an id stands for; a replay, which has no real handles, makes up a distinct address.
    KELFPSCAN_HANDLE handle_of(std::int64_t id);
    // Bytes of one frame of the handle with that id; 0 while its geometry is unknown.
    std::size_t frame_size(std::int64_t id) const;
    // Learns from a finished call, from what its outputs hold now: image geometry, work mode, a handle
    // that was closed.
    void observe(const SdkCall &call, int rc);

private:
    struct Facts {
        bool chip = false;
        int width = 0;
        int height = 0;
    };
    std::map<KELFPSCAN_HANDLE, std::int64_t> ids_;
    std::map<std::int64_t, KELFPSCAN_HANDLE> handles_;
    std::map<std::int64_t, Facts> facts_;
    std::int64_t next_id_ = 1;
};

// Where one output of a call lies in the caller's memory.
struct OutputSlot {
    enum class Type : std::uint8_t { int32, uint32, uint8, handle, buffer };
    Type type = Type::int32;
    void *address = nullptr;  // nullptr: the caller passed NULL
    std::size_t size = 0;     // bytes at address
};

// One call as the caller made it: its inputs by value, and where its outputs go.
struct SdkCall {
    Function function = Function::GetDeviceCount;
    std::vector<Value> inputs;
    std::vector<OutputSlot> outputs;
};

// One per SDK function, taking the C arguments (the session gives handle ids and frame sizes).
SdkCall get_device_count(SdkSession &s, int *count);
SdkCall global_init(SdkSession &s);
SdkCall global_free(SdkSession &s);
SdkCall open_device(SdkSession &s, KELFPSCAN_HANDLE *handle, int index);
SdkCall close_device(SdkSession &s, KELFPSCAN_HANDLE *handle);
SdkCall get_device_work_mode(SdkSession &s, KELFPSCAN_HANDLE handle, unsigned char *mode);
SdkCall get_image_info(SdkSession &s, KELFPSCAN_HANDLE handle, int *width, int *height, int *dpi);
SdkCall get_fw_minor_version(SdkSession &s, KELFPSCAN_HANDLE handle, int *minor);
SdkCall get_fw_version(SdkSession &s, KELFPSCAN_HANDLE handle, unsigned char *version);
SdkCall get_mcu_type(SdkSession &s, KELFPSCAN_HANDLE handle, int *mcuType, int *sensorType);
SdkCall set_tq300_update_flag(SdkSession &s, KELFPSCAN_HANDLE handle);
SdkCall capture_raw_data(SdkSession &s, KELFPSCAN_HANDLE handle, int mode, unsigned char *image);
SdkCall img_quality(SdkSession &s, int width, int height, const unsigned char *image, int *quality);
SdkCall extract_feature(SdkSession &s, KELFPSCAN_HANDLE handle, int mode, unsigned char *feature);
SdkCall verify_ext(SdkSession &s, KELFPSCAN_HANDLE handle, int level, const unsigned char *feature, int count,
                   const unsigned char *templates, int *similarity, int *match);
SdkCall enroll_for_os(SdkSession &s, KELFPSCAN_HANDLE handle, unsigned char step);
SdkCall store_template_for_os(SdkSession &s, KELFPSCAN_HANDLE handle, const unsigned char *userRecord,
                              const unsigned char *fingerRecord);
SdkCall search_for_os(SdkSession &s, KELFPSCAN_HANDLE handle, const unsigned char *userInfo,
                      unsigned char *searchRes, int *matchedId, unsigned int *matchScore);
SdkCall reset_identify_cnt_for_os(SdkSession &s, KELFPSCAN_HANDLE handle, int count);
SdkCall del_user_fps_fro_os(SdkSession &s, KELFPSCAN_HANDLE handle, const unsigned char *userInfo,
                            const unsigned char *fingerInfo);
SdkCall del_all_user_fps_fro_os(SdkSession &s, KELFPSCAN_HANDLE handle, const unsigned char *userInfo);
SdkCall del_os_info_fps_fro_os(SdkSession &s, KELFPSCAN_HANDLE handle, const char *osTag);

// The content of a call's outputs before it runs, so that afterwards an output the call left alone is
// told apart from one it wrote.
using OutputSnapshot = std::vector<std::vector<std::uint8_t>>;
OutputSnapshot snapshot_outputs(const SdkCall &call);
// After the call: one Value per output (unchanged where the content equals the snapshot).
std::vector<Value> read_outputs(SdkSession &s, const SdkCall &call, const OutputSnapshot &before);
// Replaying: writes the recorded outputs into the caller's buffers; unchanged, NULL and redacted
// outputs leave them as they are.
void write_outputs(SdkSession &s, const SdkCall &call, std::span<const Value> outputs);

// Where a call the driver made parts from the recorded one: "" when function and inputs match, else
// "the trace has KELFPSCAN_X, the driver called KELFPSCAN_Y (arguments: ...)" or
// "KELFPSCAN_X argument level is 3 in the trace, the driver passed 2".
std::string difference(const Call &recorded, Function function, std::span<const Value> inputs);
// "KELFPSCAN_ImgQuality (arguments: width=96, ...)", or "KELFPSCAN_GlobalFree (no arguments)".
std::string call_made(Function function, std::span<const Value> inputs);

}  // namespace kelvra::trace

#endif
