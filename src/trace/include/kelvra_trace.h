// kelvra_trace.h - a recorded sensor session: every call a driver made to the sensor SDK, in order, with
// everything each call was handed and everything it answered.
//
// The recorder writes traces, the virtual sensor replays them, kelvractl shows, redacts and reruns them;
// all of them go through this header, so the file has one reader and one writer. The file format is
// described in docs/trace-format.md.
//
// A trace holds fingerprint images and feature blocks of real people: every file is created with mode
// 0600, and redact() replaces the biometric buffers by their sizes before a trace is shared.
#ifndef KELVRA_TRACE_H
#define KELVRA_TRACE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kelvra::trace {

// Version 1 is the first; a reader refuses any other.
inline constexpr std::uint32_t kFormatVersion = 1;

// The SDK's calls, in the order kelfpscan.h declares them. The numbers are stored in trace files.
enum class Function : std::uint8_t {
    GetDeviceCount = 0,
    GlobalInit,
    GlobalFree,
    OpenDevice,
    CloseDevice,
    GetDeviceWorkMode,
    GetImageInfo,
    GetFwMinorVersion,
    GetFwVersion,
    GetMcuType,
    SetTQ300UpdateFlag,
    CaptureRawData,
    ImgQuality,
    ExtractFeature,
    VerifyExt,
    EnrollForOS,
    StoreTemplateForOS,
    SearchForOS,
    ResetIdentifyCntForOS,
    DelUserFpsFroOS,
    DelAllUserFpsFroOS,
    DelOSInfoFpsFroOS,
};
inline constexpr std::size_t kFunctionCount = 22;

// The full C name, "KELFPSCAN_CaptureRawData"; function_from_name takes the same.
std::string_view function_name(Function function);
std::optional<Function> function_from_name(std::string_view name);

// One parameter of an SDK call as a trace keeps it. A pointer a call both reads and writes (the handle of
// CloseDevice) is listed twice: once as an input, once as an output.
enum class Direction : std::uint8_t { in, out };
struct Parameter {
    std::string_view name;  // the parameter's name in kelfpscan.h: "image", "userRecord", "similarity"
    Direction direction;
    bool biometric;         // a frame or a feature block: redact() takes its content out
};
// Every parameter of the call in declaration order. Call::inputs holds one Value per `in` parameter and
// Call::outputs one per `out` parameter, each in this order.
std::span<const Parameter> parameters(Function function);

// One argument or output, by value.
struct Value {
    enum class Kind : std::uint8_t {
        integer,    // an int or unsigned char argument, or the one value a pointer output points at
        handle,     // a KELFPSCAN_HANDLE as the stable id the recorder gave it (1, 2, ...; 0 is NULL)
        bytes,      // a buffer by content: a frame, a feature block, templates, a record, a tag
        null,       // a NULL pointer was passed
        unchanged,  // an output the call did not write (its content after the call equals the content
                    // before): a replay leaves the caller's buffer as it is
        redacted    // a biometric buffer taken out for sharing; `number` is its size in bytes
    };
    Kind kind = Kind::integer;
    std::int64_t number = 0;  // integer, handle id, or redacted size
    // Buffers are shared: a reader hands out one copy of content that occurs many times in a trace.
    std::shared_ptr<const std::vector<std::uint8_t>> bytes;

    static Value of_integer(std::int64_t n) { return {Kind::integer, n, nullptr}; }
    static Value of_handle(std::int64_t id) { return {Kind::handle, id, nullptr}; }
    static Value of_bytes(std::span<const std::uint8_t> content)
    {
        return {Kind::bytes, 0, std::make_shared<const std::vector<std::uint8_t>>(content.begin(), content.end())};
    }
    static Value of_null() { return {Kind::null, 0, nullptr}; }
    static Value of_unchanged() { return {Kind::unchanged, 0, nullptr}; }
    static Value of_redacted(std::size_t size) { return {Kind::redacted, static_cast<std::int64_t>(size), nullptr}; }
};
// Same kind and same number, and for bytes the same content.
bool operator==(const Value &a, const Value &b);

// One SDK call, as the caller saw it.
struct Call {
    Function function = Function::GetDeviceCount;
    std::uint32_t thread = 0;      // 1 for the first thread that called the SDK, 2 for the next, ...
    std::int64_t start_ns = 0;     // monotonic time since the trace began, when the call was entered
    std::int64_t end_ns = 0;       // and when it returned
    std::vector<Value> inputs;     // see parameters()
    std::vector<Value> outputs;
    int rc = 0;
};

// Something the host did between two calls that a replay has to do again at the same moment.
struct Event {
    enum class Kind : std::uint8_t { stop };  // the host asked the driver to stop the running operation
    Kind kind = Kind::stop;
    std::uint64_t after_calls = 0;  // how many calls the trace held when it happened
    std::int64_t time_ns = 0;       // monotonic time since the trace began
};

// A named piece of data a host stores with the session, such as the command that made it, the host's
// database before it, or the host's journal after it. Names are short ASCII words; a trace holds each
// name at most once.
struct Section {
    std::string name;
    std::vector<std::uint8_t> content;
};

struct Header {
    std::uint32_t version = kFormatVersion;
    std::string recorder;          // what wrote the trace, e.g. "kelvra-recorder 0.10.2"
    std::string sdk;               // the SDK the calls went to (a path), or empty
    std::int64_t started_unix_s = 0;
    bool redacted = false;         // biometric buffers were taken out: the trace can be shown, not replayed
};

using Entry = std::variant<Call, Event, Section>;

struct Trace {
    Header header;
    std::vector<Entry> entries;
    bool finished = false;         // the writer closed it; a trace of a program that died has every entry
                                   // written before the end, but no end mark
};

// Writes a trace entry by entry. Each entry reaches the file before write() returns, so the entries of a
// program that is killed are kept. One writer per file; calls are not thread-safe.
class Writer {
public:
    // Creates path with mode 0600 and writes the header. Refuses (nullptr, error set) when path exists:
    // a trace is never written over another file.
    static std::unique_ptr<Writer> create(const std::string &path, const Header &header, std::string &error);
    ~Writer();  // finishes the trace when finish() was not called
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    bool write(const Entry &entry, std::string &error);
    // Writes the end mark and closes the file.
    bool finish(std::string &error);

private:
    Writer() = default;
    struct State;
    std::unique_ptr<State> state_;
};

// Reads a trace entry by entry, so a replay need not hold a long session in memory.
class Reader {
public:
    // nullptr with error set when the file cannot be read or does not start with a valid header.
    static std::unique_ptr<Reader> open(const std::string &path, std::string &error);
    static std::unique_ptr<Reader> from_bytes(std::span<const std::uint8_t> data, std::string &error);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    const Header &header() const;
    // The next entry; std::nullopt at the end mark, at the end of an unfinished trace, or on an error
    // (then error is set and says where: "entry 57 at byte 91234: ..."). Never reads out of bounds,
    // whatever the file holds.
    std::optional<Entry> next(std::string &error);
    bool finished() const;  // the end mark was read

private:
    Reader() = default;
    struct State;
    std::unique_ptr<State> state_;
};

// The whole trace; nullopt with error set on any error.
std::optional<Trace> read_trace(const std::string &path, std::string &error);
std::optional<Trace> read_trace(std::span<const std::uint8_t> data, std::string &error);

// The trace with every biometric buffer replaced by Value::of_redacted(size) and header.redacted set.
Trace redact(Trace trace);

// One line per entry for people, without a trailing newline:
//   "57 t1 +1.234567 KELFPSCAN_CaptureRawData(handle=#1, mode=0) = 0 -> image=<9216 bytes 5f3a9c01>"
// index counts calls from 1.
std::string describe(const Call &call, std::uint64_t index);
std::string describe(const Event &event);
std::string describe(const Section &section);
// "handle=#1, mode=0": the inputs of a call, as describe() shows them and as a replay names a call the
// driver made that the trace does not have.
std::string describe_inputs(Function function, std::span<const Value> inputs);

}  // namespace kelvra::trace

#endif
