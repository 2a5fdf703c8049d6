// content_hash.h - SHA-256 of a buffer: the key a trace stores a large buffer under, so two different
// buffers never share one stored copy.
#ifndef KELVRA_TRACE_CONTENT_HASH_H
#define KELVRA_TRACE_CONTENT_HASH_H

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace kelvra::trace {

using ContentHash = std::array<std::uint8_t, 32>;

ContentHash content_hash(std::span<const std::uint8_t> data);
// The first four bytes in hex, "5f3a9c01": how people see a buffer in a trace.
std::string short_hash(const ContentHash &hash);

}  // namespace kelvra::trace

#endif
