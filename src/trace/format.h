// format.h - the layout of a trace file, shared by the writer and the reader (docs/trace-format.md).
#ifndef KELVRA_TRACE_FORMAT_H
#define KELVRA_TRACE_FORMAT_H

#include "kelvra_trace.h"

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace kelvra::trace::format {

inline constexpr char kMagic[8] = {'K', 'E', 'L', 'T', 'R', 'A', 'C', 'E'};
inline constexpr std::size_t kPreambleSize = sizeof kMagic + 4;  // magic, version

// A frame: type (1 byte), payload length (4), payload, CRC-32 of type, length and payload (4).
inline constexpr std::size_t kFrameHeadSize = 5;
inline constexpr std::size_t kFrameTailSize = 4;

enum FrameType : std::uint8_t {
    kHeaderFrame = 'H',
    kBufferFrame = 'B',   // a large buffer, stored once, referred to by its hash
    kCallFrame = 'C',
    kEventFrame = 'E',
    kSectionFrame = 'S',
    kEndFrame = 'Z',
};

// The encodings of a Value inside a call or section frame.
enum ValueTag : std::uint8_t {
    kInteger = 0,
    kHandle = 1,
    kInlineBytes = 2,     // u32 size, then the bytes
    kStoredBytes = 3,     // the 32-byte hash of an earlier buffer frame
    kNull = 4,
    kUnchanged = 5,
    kRedacted = 6,        // u64 size
};

enum BufferCoding : std::uint8_t { kRaw = 0, kZlib = 1 };

// Buffers of this size or less are written inline: records, tags, short sections.
inline constexpr std::size_t kInlineLimit = 128;
// The largest buffer a call carries is VerifyExt's templates: a few hundred feature blocks of 20480
// bytes. Anything above this bound is refused, so a corrupt size never leads to a huge allocation.
inline constexpr std::size_t kMaxBuffer = 64u << 20;
// Buffer frame payload: hash, size, coding, data (never larger than the buffer: incompressible data is
// stored raw).
inline constexpr std::size_t kBufferFrameOverhead = 32 + 4 + 1;
inline constexpr std::size_t kMaxFramePayload = kMaxBuffer + kBufferFrameOverhead;
// Deflate expands at most about 1032 times, so a stored buffer's size claims no more than that many
// times its compressed bytes before the reader makes room for it.
inline constexpr std::size_t kMaxZlibRatio = 1032;
// The sum of the distinct buffers one reader keeps.
inline constexpr std::size_t kMaxStoredTotal = std::size_t(1) << 30;
inline constexpr std::size_t kMaxText = 4096;         // header strings
inline constexpr std::size_t kMaxSectionName = 64;

// Little-endian encoding into a growing buffer.
struct Encoder {
    std::vector<std::uint8_t> &out;

    void u8(std::uint8_t v) { out.push_back(v); }
    void u32(std::uint32_t v) { little_endian(v); }
    void u64(std::uint64_t v) { little_endian(v); }
    void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
    void bytes(std::span<const std::uint8_t> data) { out.insert(out.end(), data.begin(), data.end()); }
    void text(std::string_view s)
    {
        u32(static_cast<std::uint32_t>(s.size()));
        out.insert(out.end(), s.begin(), s.end());
    }

private:
    template <typename T> void little_endian(T v)
    {
        for (std::size_t i = 0; i < sizeof(T); ++i)
            out.push_back(std::uint8_t(v >> (8 * i)));
    }
};

// Reads a payload without ever going past its end; the first shortfall makes ok() false for good.
class Decoder {
public:
    explicit Decoder(std::span<const std::uint8_t> data) : data_(data) {}

    bool ok() const { return ok_; }
    bool at_end() const { return at_ == data_.size(); }
    std::size_t remaining() const { return data_.size() - at_; }
    std::size_t position() const { return at_; }

    std::uint8_t u8()
    {
        auto b = take(1);
        return b.empty() ? 0 : b[0];
    }
    std::uint32_t u32() { return little_endian<std::uint32_t>(); }
    std::uint64_t u64() { return little_endian<std::uint64_t>(); }
    std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
    std::span<const std::uint8_t> take(std::size_t n)
    {
        if (!ok_ || n > remaining()) {
            ok_ = false;
            return {};
        }
        auto b = data_.subspan(at_, n);
        at_ += n;
        return b;
    }

private:
    template <typename T> T little_endian()
    {
        auto b = take(sizeof(T));
        T v = 0;
        for (std::size_t i = 0; i < b.size(); ++i)
            v |= T(b[i]) << (8 * i);
        return v;
    }

    std::span<const std::uint8_t> data_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

inline std::uint32_t load_u32(const std::uint8_t *p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

// CRC-32 of a frame's type, length and payload: bytes [0, size - 4) of the frame.
std::uint32_t frame_checksum(std::span<const std::uint8_t> frame_without_tail);

// How many `in` and `out` parameters a call has.
std::size_t count_parameters(Function function, Direction direction);

}  // namespace kelvra::trace::format

#endif
