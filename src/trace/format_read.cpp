// format_read.cpp - Reader: reads a trace frame by frame and trusts none of its sizes, counts or
// references; every fault is an error that names the entry and the byte it starts at.
#include "content_hash.h"
#include "format.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

namespace kelvra::trace {

using namespace format;

namespace {

// A frame's fault, before the reader adds where it is.
struct Fault {
    std::string message;
};

std::string hex(std::span<const std::uint8_t> bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

}  // namespace

struct Reader::State {
    // The trace comes from a file descriptor, or from memory.
    int fd = -1;
    std::vector<std::uint8_t> memory;
    std::size_t memory_at = 0;

    std::uint64_t offset = 0;        // bytes consumed so far
    std::uint64_t entries_read = 0;  // calls, events and sections handed out
    Header header;
    bool finished = false;
    std::string failure;             // set once; every later next() repeats it

    std::map<ContentHash, std::shared_ptr<const std::vector<std::uint8_t>>> stored;
    std::size_t stored_total = 0;
    std::set<std::string, std::less<>> sections;

    ~State()
    {
        if (fd >= 0)
            ::close(fd);
    }

    // Appends up to n bytes to out; fewer only at the end of the data. Reads a file in steps, so a size
    // a corrupt file claims costs no more memory than the file holds.
    bool read_up_to(std::size_t n, std::vector<std::uint8_t> &out, std::string &error)
    {
        if (fd < 0) {
            std::size_t take = std::min(n, memory.size() - memory_at);
            out.insert(out.end(), memory.begin() + memory_at, memory.begin() + memory_at + take);
            memory_at += take;
            return true;
        }
        constexpr std::size_t kStep = 1u << 20;
        std::size_t wanted_end = out.size() + n;
        while (out.size() < wanted_end) {
            std::size_t at = out.size();
            out.resize(at + std::min(kStep, wanted_end - at));
            ssize_t got = ::read(fd, out.data() + at, out.size() - at);
            if (got < 0 && errno == EINTR) {
                out.resize(at);
                continue;
            }
            if (got <= 0) {
                out.resize(at);
                if (got < 0) {
                    error = std::string("cannot read: ") + std::strerror(errno);
                    return false;
                }
                break;
            }
            out.resize(at + static_cast<std::size_t>(got));
        }
        return true;
    }

    std::string where(const char *what_prefix = nullptr) const
    {
        if (what_prefix)
            return std::string(what_prefix) + " at byte " + std::to_string(offset) + ": ";
        return "entry " + std::to_string(entries_read + 1) + " at byte " + std::to_string(offset) + ": ";
    }

    bool fail(std::string message, std::string &error)
    {
        failure = std::move(message);
        error = failure;
        return false;
    }

    // Reads one frame. Returns false with `error` set on a fault; with `type` 0 and no error when the
    // data ends exactly between frames.
    bool read_frame(std::uint8_t &type, std::vector<std::uint8_t> &payload, const std::string &where_prefix,
                    std::string &error)
    {
        std::vector<std::uint8_t> frame;
        std::string io_error;
        if (!read_up_to(kFrameHeadSize, frame, io_error))
            return fail(where_prefix + io_error, error);
        type = 0;
        if (frame.empty())
            return true;
        if (frame.size() < kFrameHeadSize)
            return fail(where_prefix + "the file ends inside a frame header (" + std::to_string(frame.size()) +
                            " of " + std::to_string(kFrameHeadSize) + " bytes)",
                        error);
        std::uint32_t length = load_u32(frame.data() + 1);
        if (length > kMaxFramePayload)
            return fail(where_prefix + "a frame of " + std::to_string(length) + " bytes (at most " +
                            std::to_string(kMaxFramePayload) + ")",
                        error);
        std::size_t whole = kFrameHeadSize + length + kFrameTailSize;
        if (!read_up_to(whole - kFrameHeadSize, frame, io_error))
            return fail(where_prefix + io_error, error);
        if (frame.size() < whole)
            return fail(where_prefix + "the file ends inside a frame (" + std::to_string(frame.size()) + " of " +
                            std::to_string(whole) + " bytes)",
                        error);
        std::uint32_t recorded = load_u32(frame.data() + whole - kFrameTailSize);
        if (recorded != frame_checksum(std::span(frame).first(whole - kFrameTailSize)))
            return fail(where_prefix + "checksum mismatch: the frame is damaged", error);
        type = frame[0];
        payload.assign(frame.begin() + kFrameHeadSize, frame.begin() + kFrameHeadSize + length);
        return true;
    }

    bool read_preamble_and_header(std::string &error)
    {
        std::vector<std::uint8_t> preamble;
        std::string io_error;
        if (!read_up_to(kPreambleSize, preamble, io_error))
            return fail(io_error, error);
        if (preamble.size() < sizeof kMagic || std::memcmp(preamble.data(), kMagic, sizeof kMagic) != 0)
            return fail("not a trace file: it does not start with \"KELTRACE\"", error);
        if (preamble.size() < kPreambleSize)
            return fail("byte 8: the file ends inside the version", error);
        header.version = load_u32(preamble.data() + sizeof kMagic);
        if (header.version != kFormatVersion)
            return fail("byte 8: trace version " + std::to_string(header.version) + " is not supported (this "
                        "program reads version " + std::to_string(kFormatVersion) + ")",
                        error);
        offset = kPreambleSize;

        std::uint8_t type = 0;
        std::vector<std::uint8_t> payload;
        std::string prefix = where("header");
        if (!read_frame(type, payload, prefix, error))
            return false;
        if (type != kHeaderFrame)
            return fail(prefix + (type == 0 ? "the file ends before the header" : "the first frame is not a header"),
                        error);
        Decoder d(payload);
        for (std::string *text : {&header.recorder, &header.sdk}) {
            std::uint32_t size = d.u32();
            if (size > kMaxText)
                return fail(prefix + "a name of " + std::to_string(size) + " bytes (at most " +
                                std::to_string(kMaxText) + ")",
                            error);
            auto bytes = d.take(size);
            text->assign(bytes.begin(), bytes.end());
        }
        header.started_unix_s = d.i64();
        std::uint8_t flags = d.u8();
        if (!d.ok() || !d.at_end() || flags > 1)
            return fail(prefix + "the header's fields are damaged", error);
        header.redacted = flags & 1;
        offset += kFrameHeadSize + payload.size() + kFrameTailSize;
        return true;
    }

    std::optional<Value> decode_value(Decoder &d, Fault &fault)
    {
        std::uint8_t tag = d.u8();
        switch (tag) {
        case kInteger:
            return Value::of_integer(d.i64());
        case kHandle:
            return Value::of_handle(d.i64());
        case kNull:
            return Value::of_null();
        case kUnchanged:
            return Value::of_unchanged();
        case kRedacted: {
            std::uint64_t size = d.u64();
            if (size > kMaxBuffer) {
                fault.message = "a redacted buffer of " + std::to_string(size) + " bytes";
                return std::nullopt;
            }
            return Value::of_redacted(size);
        }
        case kInlineBytes: {
            std::uint32_t size = d.u32();
            if (size > d.remaining()) {
                fault.message = "a buffer of " + std::to_string(size) + " bytes runs past the frame";
                return std::nullopt;
            }
            return Value::of_bytes(d.take(size));
        }
        case kStoredBytes: {
            auto bytes = d.take(32);
            if (!d.ok())
                break;
            ContentHash hash;
            std::copy(bytes.begin(), bytes.end(), hash.begin());
            auto it = stored.find(hash);
            if (it == stored.end()) {
                fault.message = "refers to a buffer " + hex(bytes.first(4)) + "... the trace does not hold before it";
                return std::nullopt;
            }
            Value v;
            v.kind = Value::Kind::bytes;
            v.bytes = it->second;
            return v;
        }
        default:
            if (d.ok()) {
                fault.message = "a value of unknown type " + std::to_string(tag);
                return std::nullopt;
            }
        }
        fault.message = "the frame ends inside a value";
        return std::nullopt;
    }

    bool decode_values(Decoder &d, Function function, Direction direction, std::vector<Value> &values,
                       Fault &fault)
    {
        std::size_t count = d.u8();
        std::size_t expected = count_parameters(function, direction);
        if (d.ok() && count != expected) {
            fault.message = std::string(function_name(function)) + ": " + std::to_string(count) +
                            (direction == Direction::in ? " input" : " output") + " values in the frame, the call has " +
                            std::to_string(expected);
            return false;
        }
        for (std::size_t i = 0; i < count; ++i) {
            auto v = decode_value(d, fault);
            if (!v)
                return false;
            values.push_back(std::move(*v));
        }
        return true;
    }

    std::optional<Entry> decode_call(Decoder &d, Fault &fault)
    {
        Call call;
        std::uint8_t function = d.u8();
        if (d.ok() && function >= kFunctionCount) {
            fault.message = "unknown SDK function number " + std::to_string(function);
            return std::nullopt;
        }
        call.function = static_cast<Function>(function);
        call.thread = d.u32();
        call.start_ns = d.i64();
        call.end_ns = d.i64();
        call.rc = static_cast<int>(d.u32());
        if (!decode_values(d, call.function, Direction::in, call.inputs, fault) ||
            !decode_values(d, call.function, Direction::out, call.outputs, fault))
            return std::nullopt;
        return call;
    }

    std::optional<Entry> decode_event(Decoder &d, Fault &fault)
    {
        Event event;
        std::uint8_t kind = d.u8();
        if (d.ok() && kind != static_cast<std::uint8_t>(Event::Kind::stop)) {
            fault.message = "an event of unknown kind " + std::to_string(kind);
            return std::nullopt;
        }
        event.after_calls = d.u64();
        event.time_ns = d.i64();
        return event;
    }

    std::optional<Entry> decode_section(Decoder &d, Fault &fault)
    {
        Section section;
        std::uint32_t size = d.u32();
        if (size == 0 || size > kMaxSectionName) {
            fault.message = "a section name of " + std::to_string(size) + " bytes";
            return std::nullopt;
        }
        auto name = d.take(size);
        section.name.assign(name.begin(), name.end());
        if (!d.ok()) {
            fault.message = "the frame ends inside the section's name";
            return std::nullopt;
        }
        if (sections.contains(section.name)) {
            fault.message = "a second section \"" + section.name + "\"";
            return std::nullopt;
        }
        auto content = decode_value(d, fault);
        if (!content)
            return std::nullopt;
        if (content->kind != Value::Kind::bytes) {
            fault.message = "section \"" + section.name + "\" holds no bytes";
            return std::nullopt;
        }
        section.content = *content->bytes;
        sections.insert(section.name);
        return section;
    }

    // A buffer frame: keeps the buffer for the calls after it.
    bool store_buffer(std::span<const std::uint8_t> payload, Fault &fault)
    {
        Decoder d(payload);
        auto hash_bytes = d.take(32);
        std::uint32_t size = d.u32();
        std::uint8_t coding = d.u8();
        if (!d.ok()) {
            fault.message = "a stored buffer's frame is too short";
            return false;
        }
        ContentHash hash;
        std::copy(hash_bytes.begin(), hash_bytes.end(), hash.begin());
        std::string name = "stored buffer " + short_hash(hash) + ": ";
        if (size > kMaxBuffer) {
            fault.message = name + std::to_string(size) + " bytes (at most " + std::to_string(kMaxBuffer) + ")";
            return false;
        }
        if (stored.contains(hash)) {
            fault.message = name + "stored a second time";
            return false;
        }
        if (stored_total + size > kMaxStoredTotal) {
            fault.message = name + "the trace's buffers exceed " + std::to_string(kMaxStoredTotal) + " bytes";
            return false;
        }
        auto data = d.take(d.remaining());
        auto content = std::make_shared<std::vector<std::uint8_t>>();
        if (coding == kRaw) {
            if (data.size() != size) {
                fault.message = name + "holds " + std::to_string(data.size()) + " bytes, its size says " +
                                std::to_string(size);
                return false;
            }
            content->assign(data.begin(), data.end());
        } else if (coding == kZlib) {
            if (size > data.size() * kMaxZlibRatio + 64) {
                fault.message = name + std::to_string(data.size()) + " compressed bytes cannot make " +
                                std::to_string(size) + " bytes";
                return false;
            }
            content->resize(size);
            uLongf unpacked = size;
            int rc = uncompress(content->data(), &unpacked, data.data(), static_cast<uLong>(data.size()));
            if (rc != Z_OK || unpacked != size) {
                fault.message = name + "the compressed data is damaged (zlib: " +
                                (rc == Z_OK ? std::string("short by ") + std::to_string(size - unpacked) + " bytes"
                                            : std::string(zError(rc))) +
                                ")";
                return false;
            }
        } else {
            fault.message = name + "unknown coding " + std::to_string(coding);
            return false;
        }
        if (content_hash(*content) != hash) {
            fault.message = name + "the content does not match its hash";
            return false;
        }
        stored_total += size;
        stored.emplace(hash, std::move(content));
        return true;
    }

    std::optional<Entry> next(std::string &error)
    {
        for (;;) {
            std::string prefix = where();
            std::uint8_t type = 0;
            std::vector<std::uint8_t> payload;
            if (!read_frame(type, payload, prefix, error))
                return std::nullopt;
            if (type == 0)
                return std::nullopt;  // an unfinished trace: a program that died before the end mark
            std::size_t frame_size = kFrameHeadSize + payload.size() + kFrameTailSize;
            Fault fault;
            Decoder d(payload);
            std::optional<Entry> entry;
            switch (type) {
            case kBufferFrame:
                if (!store_buffer(payload, fault)) {
                    fail(prefix + fault.message, error);
                    return std::nullopt;
                }
                offset += frame_size;
                continue;
            case kEndFrame: {
                if (!payload.empty()) {
                    fail(prefix + "the end mark carries data", error);
                    return std::nullopt;
                }
                offset += frame_size;
                std::vector<std::uint8_t> after;
                std::string io_error;
                if (!read_up_to(1, after, io_error) || !after.empty()) {
                    fail("byte " + std::to_string(offset) + ": data after the end mark", error);
                    return std::nullopt;
                }
                finished = true;
                return std::nullopt;
            }
            case kCallFrame:
                entry = decode_call(d, fault);
                break;
            case kEventFrame:
                entry = decode_event(d, fault);
                break;
            case kSectionFrame:
                entry = decode_section(d, fault);
                break;
            case kHeaderFrame:
                fault.message = "a second header";
                break;
            default:
                fault.message = "a frame of unknown type " + std::to_string(type);
            }
            if (entry && !d.ok())
                fault.message = "the frame ends inside its fields";
            else if (entry && !d.at_end())
                fault.message = std::to_string(d.remaining()) + " bytes left over in the frame";
            if (!fault.message.empty() || !entry) {
                if (fault.message.empty())
                    fault.message = "the frame ends inside its fields";
                fail(prefix + fault.message, error);
                return std::nullopt;
            }
            offset += frame_size;
            ++entries_read;
            return entry;
        }
    }
};

std::unique_ptr<Reader> Reader::open(const std::string &path, std::string &error)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<Reader> reader(new Reader);
    reader->state_ = std::make_unique<State>();
    reader->state_->fd = fd;
    if (!reader->state_->read_preamble_and_header(error)) {
        error = path + ": " + error;
        return nullptr;
    }
    return reader;
}

std::unique_ptr<Reader> Reader::from_bytes(std::span<const std::uint8_t> data, std::string &error)
{
    std::unique_ptr<Reader> reader(new Reader);
    reader->state_ = std::make_unique<State>();
    reader->state_->memory.assign(data.begin(), data.end());
    if (!reader->state_->read_preamble_and_header(error))
        return nullptr;
    return reader;
}

Reader::~Reader() = default;

const Header &Reader::header() const
{
    return state_->header;
}

std::optional<Entry> Reader::next(std::string &error)
{
    error.clear();
    State &s = *state_;
    if (!s.failure.empty()) {
        error = s.failure;
        return std::nullopt;
    }
    if (s.finished)
        return std::nullopt;
    return s.next(error);
}

bool Reader::finished() const
{
    return state_->finished;
}

namespace {

// where: what an error names first ("path: "), as Reader::open does.
std::optional<Trace> read_all(std::unique_ptr<Reader> reader, const std::string &where, std::string &error)
{
    if (!reader)
        return std::nullopt;
    Trace trace;
    trace.header = reader->header();
    while (auto entry = reader->next(error))
        trace.entries.push_back(std::move(*entry));
    if (!error.empty()) {
        error = where + error;
        return std::nullopt;
    }
    trace.finished = reader->finished();
    return trace;
}

}  // namespace

std::optional<Trace> read_trace(const std::string &path, std::string &error)
{
    return read_all(Reader::open(path, error), path + ": ", error);
}

std::optional<Trace> read_trace(std::span<const std::uint8_t> data, std::string &error)
{
    return read_all(Reader::from_bytes(data, error), "", error);
}

}  // namespace kelvra::trace
