// format.cpp - what the writer and the reader of trace files share.
#include "format.h"

#include <zlib.h>

namespace kelvra::trace::format {

std::uint32_t frame_checksum(std::span<const std::uint8_t> frame_without_tail)
{
    uLong crc = crc32(0L, Z_NULL, 0);
    // crc32 takes a uInt length; frames stay far below 4 GiB, but go in steps anyway.
    std::size_t at = 0;
    while (at < frame_without_tail.size()) {
        std::size_t step = std::min<std::size_t>(frame_without_tail.size() - at, 1u << 30);
        crc = crc32(crc, frame_without_tail.data() + at, static_cast<uInt>(step));
        at += step;
    }
    return static_cast<std::uint32_t>(crc);
}

std::size_t count_parameters(Function function, Direction direction)
{
    std::size_t n = 0;
    for (const Parameter &p : parameters(function))
        n += p.direction == direction;
    return n;
}

}  // namespace kelvra::trace::format
