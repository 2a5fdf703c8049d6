// sdk_calls.cpp - C arguments of the SDK's calls to and from trace values.
#include "sdk_calls.h"

#include <algorithm>
#include <cstring>

namespace kelvra::trace {

namespace {

// A caller's claim of a buffer larger than this is not believed: no sensor frame or template set comes
// near it, and the recorder must not read far past what the caller really owns.
constexpr std::size_t kMaxBufferBytes = std::size_t(64) << 20;
// A tag is a short word; a missing NUL must not send the recorder through the caller's memory.
constexpr std::size_t kMaxTagBytes = 256;

Value buffer_in(const void *address, std::size_t size)
{
    if (address == nullptr)
        return Value::of_null();
    return Value::of_bytes({static_cast<const std::uint8_t *>(address), std::min(size, kMaxBufferBytes)});
}

Value handle_in(SdkSession &s, KELFPSCAN_HANDLE handle) { return Value::of_handle(s.id_of(handle)); }

std::size_t area(int width, int height)
{
    if (width <= 0 || height <= 0)
        return 0;
    return std::min(std::size_t(width) * std::size_t(height), kMaxBufferBytes);
}

std::size_t blocks(int count)
{
    if (count <= 0)
        return 0;
    return std::min(std::size_t(count) * KELFPSCAN_FEATURE_SIZE, kMaxBufferBytes);
}

OutputSlot slot(OutputSlot::Type type, void *address, std::size_t size = 0)
{
    switch (type) {
    case OutputSlot::Type::int32:
        size = sizeof(int);
        break;
    case OutputSlot::Type::uint32:
        size = sizeof(unsigned int);
        break;
    case OutputSlot::Type::uint8:
        size = 1;
        break;
    case OutputSlot::Type::handle:
        size = sizeof(KELFPSCAN_HANDLE);
        break;
    case OutputSlot::Type::buffer:
        size = std::min(size, kMaxBufferBytes);
        break;
    }
    return {type, address, size};
}

SdkCall call_of(Function function, std::vector<Value> inputs, std::vector<OutputSlot> outputs = {})
{
    return {function, std::move(inputs), std::move(outputs)};
}

// A call on a handle with a user record and a finger record, both read as 64 bytes.
SdkCall user_and_finger(Function function, SdkSession &s, KELFPSCAN_HANDLE handle, const unsigned char *user,
                        const unsigned char *finger)
{
    return call_of(function, {handle_in(s, handle), buffer_in(user, KELFPSCAN_RECORD_SIZE),
                              buffer_in(finger, KELFPSCAN_RECORD_SIZE)});
}

OutputSlot int_out(int *p) { return slot(OutputSlot::Type::int32, p); }
OutputSlot byte_out(unsigned char *p) { return slot(OutputSlot::Type::uint8, p); }

template <typename T>
T load(const void *address)
{
    T value;
    std::memcpy(&value, address, sizeof value);
    return value;
}

template <typename T>
void store(void *address, T value)
{
    std::memcpy(address, &value, sizeof value);
}

// The names of a function's input parameters, in order.
std::vector<std::string_view> input_names(Function function)
{
    std::vector<std::string_view> names;
    for (const Parameter &p : parameters(function))
        if (p.direction == Direction::in)
            names.push_back(p.name);
    return names;
}

// The text describe_inputs gives input k ("3", "#1", "<9216 bytes 5f3a9c01>"), cut from its
// "name=value, name=value" line by the parameter names, which the line carries in order.
std::string input_text(Function function, std::span<const Value> inputs, std::size_t k)
{
    const std::string line = describe_inputs(function, inputs);
    const auto names = input_names(function);
    if (k >= names.size())
        return line;
    std::size_t at = 0;
    for (std::size_t j = 0; j <= k; ++j) {
        const std::string key = (j == 0 ? "" : ", ") + std::string(names[j]) + "=";
        const std::size_t found = line.find(key, at);
        if (found == std::string::npos)
            return line;
        at = found + key.size();
    }
    std::size_t end = std::string::npos;
    if (k + 1 < names.size())
        end = line.find(", " + std::string(names[k + 1]) + "=", at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

}  // namespace

std::int64_t SdkSession::id_of(KELFPSCAN_HANDLE handle)
{
    if (handle == nullptr)
        return 0;
    if (auto it = ids_.find(handle); it != ids_.end())
        return it->second;
    const std::int64_t id = next_id_++;
    ids_[handle] = id;
    handles_[id] = handle;
    return id;
}

KELFPSCAN_HANDLE SdkSession::handle_of(std::int64_t id)
{
    if (id <= 0)
        return nullptr;
    if (auto it = handles_.find(id); it != handles_.end())
        return it->second;
    // Never a real object: distinct, non-NULL and aligned, so a driver can store and compare it.
    auto *made_up = reinterpret_cast<KELFPSCAN_HANDLE>(std::uintptr_t(0x6b720000) + std::uintptr_t(id) * 16);
    ids_[made_up] = id;
    handles_[id] = made_up;
    next_id_ = std::max(next_id_, id + 1);
    return made_up;
}

std::size_t SdkSession::frame_size(std::int64_t id) const
{
    const auto it = facts_.find(id);
    if (it == facts_.end())
        return 0;
    if (it->second.chip)
        return area(KELFPSCAN_MOC_IMAGE_WIDTH, KELFPSCAN_MOC_IMAGE_HEIGHT);
    return area(it->second.width, it->second.height);
}

void SdkSession::observe(const SdkCall &call, int rc)
{
    if (rc != 0 || call.inputs.empty())
        return;
    const Value &first = call.inputs.front();
    const auto written = [&](std::size_t k) { return call.outputs.size() > k && call.outputs[k].address != nullptr; };
    switch (call.function) {
    case Function::GetDeviceWorkMode:
        if (written(0) && first.kind == Value::Kind::handle)
            facts_[first.number].chip = load<unsigned char>(call.outputs[0].address) != 0;
        break;
    case Function::GetImageInfo:
        if (written(0) && written(1) && first.kind == Value::Kind::handle) {
            facts_[first.number].width = load<int>(call.outputs[0].address);
            facts_[first.number].height = load<int>(call.outputs[1].address);
        }
        break;
    case Function::CloseDevice:
        // The SDK may hand out the same address again; it is another handle then.
        if (first.kind == Value::Kind::handle) {
            if (auto it = handles_.find(first.number); it != handles_.end()) {
                ids_.erase(it->second);
                handles_.erase(it);
            }
            facts_.erase(first.number);
        }
        break;
    default:
        break;
    }
}

SdkCall get_device_count(SdkSession &, int *count) { return call_of(Function::GetDeviceCount, {}, {int_out(count)}); }
SdkCall global_init(SdkSession &) { return call_of(Function::GlobalInit, {}); }
SdkCall global_free(SdkSession &) { return call_of(Function::GlobalFree, {}); }

SdkCall open_device(SdkSession &, KELFPSCAN_HANDLE *handle, int index)
{
    return call_of(Function::OpenDevice, {Value::of_integer(index)}, {slot(OutputSlot::Type::handle, handle)});
}

SdkCall close_device(SdkSession &s, KELFPSCAN_HANDLE *handle)
{
    return call_of(Function::CloseDevice, {handle == nullptr ? Value::of_null() : handle_in(s, *handle)},
                   {slot(OutputSlot::Type::handle, handle)});
}

SdkCall get_device_work_mode(SdkSession &s, KELFPSCAN_HANDLE handle, unsigned char *mode)
{
    return call_of(Function::GetDeviceWorkMode, {handle_in(s, handle)}, {byte_out(mode)});
}

SdkCall get_image_info(SdkSession &s, KELFPSCAN_HANDLE handle, int *width, int *height, int *dpi)
{
    return call_of(Function::GetImageInfo, {handle_in(s, handle)}, {int_out(width), int_out(height), int_out(dpi)});
}

SdkCall get_fw_minor_version(SdkSession &s, KELFPSCAN_HANDLE handle, int *minor)
{
    return call_of(Function::GetFwMinorVersion, {handle_in(s, handle)}, {int_out(minor)});
}

SdkCall get_fw_version(SdkSession &s, KELFPSCAN_HANDLE handle, unsigned char *version)
{
    return call_of(Function::GetFwVersion, {handle_in(s, handle)}, {byte_out(version)});
}

SdkCall get_mcu_type(SdkSession &s, KELFPSCAN_HANDLE handle, int *mcuType, int *sensorType)
{
    return call_of(Function::GetMcuType, {handle_in(s, handle)}, {int_out(mcuType), int_out(sensorType)});
}

SdkCall set_tq300_update_flag(SdkSession &s, KELFPSCAN_HANDLE handle)
{
    return call_of(Function::SetTQ300UpdateFlag, {handle_in(s, handle)});
}

SdkCall capture_raw_data(SdkSession &s, KELFPSCAN_HANDLE handle, int mode, unsigned char *image)
{
    const std::int64_t id = s.id_of(handle);
    return call_of(Function::CaptureRawData, {Value::of_handle(id), Value::of_integer(mode)},
                   {slot(OutputSlot::Type::buffer, image, s.frame_size(id))});
}

SdkCall img_quality(SdkSession &, int width, int height, const unsigned char *image, int *quality)
{
    return call_of(Function::ImgQuality,
                   {Value::of_integer(width), Value::of_integer(height), buffer_in(image, area(width, height))},
                   {int_out(quality)});
}

SdkCall extract_feature(SdkSession &s, KELFPSCAN_HANDLE handle, int mode, unsigned char *feature)
{
    return call_of(Function::ExtractFeature, {handle_in(s, handle), Value::of_integer(mode)},
                   {slot(OutputSlot::Type::buffer, feature, KELFPSCAN_FEATURE_SIZE)});
}

SdkCall verify_ext(SdkSession &s, KELFPSCAN_HANDLE handle, int level, const unsigned char *feature, int count,
                   const unsigned char *templates, int *similarity, int *match)
{
    return call_of(Function::VerifyExt,
                   {handle_in(s, handle), Value::of_integer(level), buffer_in(feature, KELFPSCAN_FEATURE_SIZE),
                    Value::of_integer(count), buffer_in(templates, blocks(count))},
                   {int_out(similarity), int_out(match)});
}

SdkCall enroll_for_os(SdkSession &s, KELFPSCAN_HANDLE handle, unsigned char step)
{
    return call_of(Function::EnrollForOS, {handle_in(s, handle), Value::of_integer(step)});
}

SdkCall store_template_for_os(SdkSession &s, KELFPSCAN_HANDLE handle, const unsigned char *userRecord,
                              const unsigned char *fingerRecord)
{
    return user_and_finger(Function::StoreTemplateForOS, s, handle, userRecord, fingerRecord);
}

SdkCall search_for_os(SdkSession &s, KELFPSCAN_HANDLE handle, const unsigned char *userInfo,
                      unsigned char *searchRes, int *matchedId, unsigned int *matchScore)
{
    return call_of(Function::SearchForOS, {handle_in(s, handle), buffer_in(userInfo, KELFPSCAN_RECORD_SIZE)},
                   {byte_out(searchRes), int_out(matchedId), slot(OutputSlot::Type::uint32, matchScore)});
}

SdkCall reset_identify_cnt_for_os(SdkSession &s, KELFPSCAN_HANDLE handle, int count)
{
    return call_of(Function::ResetIdentifyCntForOS, {handle_in(s, handle), Value::of_integer(count)});
}

SdkCall del_user_fps_fro_os(SdkSession &s, KELFPSCAN_HANDLE handle, const unsigned char *userInfo,
                            const unsigned char *fingerInfo)
{
    return user_and_finger(Function::DelUserFpsFroOS, s, handle, userInfo, fingerInfo);
}

SdkCall del_all_user_fps_fro_os(SdkSession &s, KELFPSCAN_HANDLE handle, const unsigned char *userInfo)
{
    return call_of(Function::DelAllUserFpsFroOS, {handle_in(s, handle), buffer_in(userInfo, KELFPSCAN_RECORD_SIZE)});
}

SdkCall del_os_info_fps_fro_os(SdkSession &s, KELFPSCAN_HANDLE handle, const char *osTag)
{
    const std::size_t length = osTag != nullptr ? strnlen(osTag, kMaxTagBytes) : 0;
    return call_of(Function::DelOSInfoFpsFroOS, {handle_in(s, handle), buffer_in(osTag, length)});
}

OutputSnapshot snapshot_outputs(const SdkCall &call)
{
    OutputSnapshot before;
    before.reserve(call.outputs.size());
    for (const OutputSlot &o : call.outputs) {
        const auto *p = static_cast<const std::uint8_t *>(o.address);
        before.emplace_back(p != nullptr ? std::vector<std::uint8_t>(p, p + o.size) : std::vector<std::uint8_t>());
    }
    return before;
}

std::vector<Value> read_outputs(SdkSession &s, const SdkCall &call, const OutputSnapshot &before)
{
    std::vector<Value> values;
    values.reserve(call.outputs.size());
    for (std::size_t k = 0; k < call.outputs.size(); ++k) {
        const OutputSlot &o = call.outputs[k];
        const auto *p = static_cast<const std::uint8_t *>(o.address);
        if (p == nullptr) {
            values.push_back(Value::of_null());
            continue;
        }
        if (k < before.size() && before[k].size() == o.size && std::equal(p, p + o.size, before[k].begin())) {
            values.push_back(Value::of_unchanged());
            continue;
        }
        switch (o.type) {
        case OutputSlot::Type::int32:
            values.push_back(Value::of_integer(load<int>(p)));
            break;
        case OutputSlot::Type::uint32:
            values.push_back(Value::of_integer(load<unsigned int>(p)));
            break;
        case OutputSlot::Type::uint8:
            values.push_back(Value::of_integer(*p));
            break;
        case OutputSlot::Type::handle:
            values.push_back(Value::of_handle(s.id_of(load<KELFPSCAN_HANDLE>(p))));
            break;
        case OutputSlot::Type::buffer:
            values.push_back(Value::of_bytes({p, o.size}));
            break;
        }
    }
    return values;
}

void write_outputs(SdkSession &s, const SdkCall &call, std::span<const Value> outputs)
{
    const std::size_t n = std::min(call.outputs.size(), outputs.size());
    for (std::size_t k = 0; k < n; ++k) {
        const OutputSlot &o = call.outputs[k];
        const Value &v = outputs[k];
        if (o.address == nullptr)
            continue;
        if (v.kind == Value::Kind::integer) {
            switch (o.type) {
            case OutputSlot::Type::int32:
                store(o.address, static_cast<int>(v.number));
                break;
            case OutputSlot::Type::uint32:
                store(o.address, static_cast<unsigned int>(v.number));
                break;
            case OutputSlot::Type::uint8:
                store(o.address, static_cast<unsigned char>(v.number));
                break;
            default:
                break;
            }
        } else if (v.kind == Value::Kind::handle && o.type == OutputSlot::Type::handle) {
            store(o.address, s.handle_of(v.number));
        } else if (v.kind == Value::Kind::bytes && v.bytes && o.type == OutputSlot::Type::buffer) {
            // A frame of another size than the caller's buffer is cut to fit it, never written past it.
            std::memcpy(o.address, v.bytes->data(), std::min(o.size, v.bytes->size()));
        }
    }
}

std::string difference(const Call &recorded, Function function, std::span<const Value> inputs)
{
    if (recorded.function != function)
        return "the trace has " + std::string(function_name(recorded.function)) + ", the driver called " +
               call_made(function, inputs);
    const auto names = input_names(function);
    const std::size_t n = std::max(recorded.inputs.size(), inputs.size());
    for (std::size_t k = 0; k < n; ++k) {
        if (k < recorded.inputs.size() && k < inputs.size() && recorded.inputs[k] == inputs[k])
            continue;
        const std::string name = k < names.size() ? std::string(names[k]) : std::to_string(k + 1);
        const std::string was = k < recorded.inputs.size() ? input_text(function, recorded.inputs, k) : "missing";
        const std::string is = k < inputs.size() ? input_text(function, inputs, k) : "missing";
        return std::string(function_name(function)) + " argument " + name + " is " + was +
               " in the trace, the driver passed " + is;
    }
    return {};
}

std::string call_made(Function function, std::span<const Value> inputs)
{
    const std::string name(function_name(function));
    if (inputs.empty())
        return name + " (no arguments)";
    return name + " (arguments: " + describe_inputs(function, inputs) + ")";
}

}  // namespace kelvra::trace
