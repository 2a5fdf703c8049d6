// format_write.cpp - Writer: appends a trace to a new file entry by entry, each entry with write(2)
// before write() returns, so a program that is killed keeps what it recorded.
#include "content_hash.h"
#include "format.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <set>

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

namespace kelvra::trace {

using namespace format;

namespace {

bool write_all(int fd, std::span<const std::uint8_t> data, std::string &error)
{
    std::size_t at = 0;
    while (at < data.size()) {
        ssize_t n = ::write(fd, data.data() + at, data.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = std::string("cannot write the trace: ") +
                    (n < 0 ? std::strerror(errno) : "the file takes no more bytes");
            return false;
        }
        at += static_cast<std::size_t>(n);
    }
    return true;
}

void append_frame(std::vector<std::uint8_t> &out, FrameType type, std::span<const std::uint8_t> payload)
{
    std::size_t start = out.size();
    Encoder e{out};
    e.u8(type);
    e.u32(static_cast<std::uint32_t>(payload.size()));
    e.bytes(payload);
    e.u32(frame_checksum(std::span(out).subspan(start)));
}

// Appends content as a zlib stream to out; its size, or nullopt when zlib fails. The recorder compresses
// on the capture path: grey frames and feature blocks have few repeats for deflate's matches to find,
// and Huffman coding alone packs them as small at about half the time.
std::optional<std::size_t> deflated(std::span<const std::uint8_t> content, std::vector<std::uint8_t> &out)
{
    z_stream z{};
    if (deflateInit2(&z, 1, Z_DEFLATED, 15, 8, Z_HUFFMAN_ONLY) != Z_OK)
        return std::nullopt;
    const std::size_t at = out.size();
    out.resize(at + deflateBound(&z, static_cast<uLong>(content.size())));
    z.next_in = const_cast<Bytef *>(content.data());
    z.avail_in = static_cast<uInt>(content.size());
    z.next_out = out.data() + at;
    z.avail_out = static_cast<uInt>(out.size() - at);
    const int rc = deflate(&z, Z_FINISH);
    const std::size_t packed = z.total_out;
    deflateEnd(&z);
    if (rc != Z_STREAM_END)
        return std::nullopt;
    return packed;
}

// The buffer as a buffer frame's payload: zlib-compressed when that makes it smaller.
std::vector<std::uint8_t> buffer_payload(const ContentHash &hash, std::span<const std::uint8_t> content)
{
    std::vector<std::uint8_t> payload;
    Encoder e{payload};
    e.bytes(hash);
    e.u32(static_cast<std::uint32_t>(content.size()));
    std::size_t coding_at = payload.size();
    e.u8(kZlib);
    std::size_t data_at = payload.size();
    if (std::optional<std::size_t> packed = deflated(content, payload); packed && *packed < content.size()) {
        payload.resize(data_at + *packed);
    } else {
        payload[coding_at] = kRaw;
        payload.resize(data_at);
        e.bytes(content);
    }
    return payload;
}

bool valid_section_name(std::string_view name)
{
    if (name.empty() || name.size() > kMaxSectionName)
        return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
              c == '.'))
            return false;
    return true;
}

std::string check_call(const Call &call)
{
    if (static_cast<std::size_t>(call.function) >= kFunctionCount)
        return "unknown function " + std::to_string(static_cast<int>(call.function));
    std::string_view name = function_name(call.function);
    if (call.inputs.size() != count_parameters(call.function, Direction::in) ||
        call.outputs.size() != count_parameters(call.function, Direction::out))
        return std::string(name) + " takes " + std::to_string(count_parameters(call.function, Direction::in)) +
               " inputs and " + std::to_string(count_parameters(call.function, Direction::out)) + " outputs, not " +
               std::to_string(call.inputs.size()) + " and " + std::to_string(call.outputs.size());
    return {};
}

}  // namespace

struct Writer::State {
    int fd = -1;
    bool finished = false;
    bool broken = false;  // a write failed: the file may end inside a frame, so nothing more goes in
    std::set<ContentHash> stored;
    std::set<std::string, std::less<>> sections;

    // Frames being built for one entry; buffers they store are kept in `pending` until they are written.
    std::vector<std::uint8_t> frames;
    std::vector<ContentHash> pending;

    bool encode_value(Encoder &e, const Value &value, std::string &error)
    {
        switch (value.kind) {
        case Value::Kind::integer:
            e.u8(kInteger);
            e.i64(value.number);
            return true;
        case Value::Kind::handle:
            e.u8(kHandle);
            e.i64(value.number);
            return true;
        case Value::Kind::null:
            e.u8(kNull);
            return true;
        case Value::Kind::unchanged:
            e.u8(kUnchanged);
            return true;
        case Value::Kind::redacted:
            if (value.number < 0 || static_cast<std::uint64_t>(value.number) > kMaxBuffer) {
                error = "a redacted size of " + std::to_string(value.number) + " bytes";
                return false;
            }
            e.u8(kRedacted);
            e.u64(static_cast<std::uint64_t>(value.number));
            return true;
        case Value::Kind::bytes:
            break;
        default:
            error = "a value of unknown kind " + std::to_string(static_cast<int>(value.kind));
            return false;
        }
        std::span<const std::uint8_t> content;
        if (value.bytes)
            content = *value.bytes;
        if (content.size() > kMaxBuffer) {
            error = "a buffer of " + std::to_string(content.size()) + " bytes (at most " +
                    std::to_string(kMaxBuffer) + ")";
            return false;
        }
        if (content.size() <= kInlineLimit) {
            e.u8(kInlineBytes);
            e.u32(static_cast<std::uint32_t>(content.size()));
            e.bytes(content);
            return true;
        }
        ContentHash hash = content_hash(content);
        if (!stored.contains(hash) && std::find(pending.begin(), pending.end(), hash) == pending.end()) {
            append_frame(frames, kBufferFrame, buffer_payload(hash, content));
            pending.push_back(hash);
        }
        e.u8(kStoredBytes);
        e.bytes(hash);
        return true;
    }

    bool encode(const Call &call, std::vector<std::uint8_t> &payload, std::string &error)
    {
        if (error = check_call(call); !error.empty())
            return false;
        Encoder e{payload};
        e.u8(static_cast<std::uint8_t>(call.function));
        e.u32(call.thread);
        e.i64(call.start_ns);
        e.i64(call.end_ns);
        e.u32(static_cast<std::uint32_t>(call.rc));
        for (const auto *values : {&call.inputs, &call.outputs}) {
            e.u8(static_cast<std::uint8_t>(values->size()));
            for (const Value &v : *values)
                if (!encode_value(e, v, error))
                    return false;
        }
        return true;
    }

    bool encode(const Event &event, std::vector<std::uint8_t> &payload, std::string &error)
    {
        if (event.kind != Event::Kind::stop) {
            error = "an event of unknown kind " + std::to_string(static_cast<int>(event.kind));
            return false;
        }
        Encoder e{payload};
        e.u8(static_cast<std::uint8_t>(event.kind));
        e.u64(event.after_calls);
        e.i64(event.time_ns);
        return true;
    }

    bool encode(const Section &section, std::vector<std::uint8_t> &payload, std::string &error)
    {
        if (!valid_section_name(section.name)) {
            error = "a section name must be 1 to " + std::to_string(kMaxSectionName) +
                    " letters, digits, '_', '-' or '.': \"" + section.name + "\"";
            return false;
        }
        if (sections.contains(section.name)) {
            error = "the trace already has a section \"" + section.name + "\"";
            return false;
        }
        Encoder e{payload};
        e.text(section.name);
        return encode_value(e, Value::of_bytes(section.content), error);
    }
};

std::unique_ptr<Writer> Writer::create(const std::string &path, const Header &header, std::string &error)
{
    if (header.version != kFormatVersion) {
        error = "this program writes trace version " + std::to_string(kFormatVersion) + ", not " +
                std::to_string(header.version);
        return nullptr;
    }
    if (header.recorder.size() > kMaxText || header.sdk.size() > kMaxText) {
        error = "the recorder or SDK name is longer than " + std::to_string(kMaxText) + " bytes";
        return nullptr;
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = path + ": " + (errno == EEXIST ? std::string("already exists; a trace never replaces a file")
                                                : std::string(std::strerror(errno)));
        return nullptr;
    }
    std::vector<std::uint8_t> out(std::begin(kMagic), std::end(kMagic));
    Encoder e{out};
    e.u32(kFormatVersion);
    std::vector<std::uint8_t> payload;
    Encoder h{payload};
    h.text(header.recorder);
    h.text(header.sdk);
    h.i64(header.started_unix_s);
    h.u8(header.redacted ? 1 : 0);
    append_frame(out, kHeaderFrame, payload);
    if (!write_all(fd, out, error)) {
        ::close(fd);
        ::unlink(path.c_str());  // the file is ours: we created it a moment ago
        error = path + ": " + error;
        return nullptr;
    }
    std::unique_ptr<Writer> writer(new Writer);
    writer->state_ = std::make_unique<State>();
    writer->state_->fd = fd;
    return writer;
}

Writer::~Writer()
{
    if (state_ && !state_->finished) {
        std::string ignored;
        finish(ignored);
    }
}

bool Writer::write(const Entry &entry, std::string &error)
{
    State &s = *state_;
    if (s.finished || s.broken) {
        error = s.finished ? "the trace is already finished" : "an earlier write to the trace failed";
        return false;
    }
    s.frames.clear();
    s.pending.clear();
    std::vector<std::uint8_t> payload;
    FrameType type = std::visit(
        [](const auto &e) {
            using T = std::decay_t<decltype(e)>;
            return std::is_same_v<T, Call> ? kCallFrame : std::is_same_v<T, Event> ? kEventFrame : kSectionFrame;
        },
        entry);
    bool encoded = std::visit([&](const auto &e) { return s.encode(e, payload, error); }, entry);
    if (!encoded)
        return false;
    append_frame(s.frames, type, payload);
    if (!write_all(s.fd, s.frames, error)) {
        s.broken = true;
        return false;
    }
    s.stored.insert(s.pending.begin(), s.pending.end());
    if (const auto *section = std::get_if<Section>(&entry))
        s.sections.insert(section->name);
    return true;
}

bool Writer::finish(std::string &error)
{
    State &s = *state_;
    if (s.finished) {
        error = "the trace is already finished";
        return false;
    }
    s.finished = true;
    bool ok = true;
    if (!s.broken) {
        std::vector<std::uint8_t> out;
        append_frame(out, kEndFrame, {});
        ok = write_all(s.fd, out, error);
    } else {
        error = "an earlier write to the trace failed; the trace has no end mark";
        ok = false;
    }
    if (::close(s.fd) != 0 && ok) {
        error = std::string("cannot close the trace: ") + std::strerror(errno);
        ok = false;
    }
    s.fd = -1;
    return ok;
}

}  // namespace kelvra::trace
