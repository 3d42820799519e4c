#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qel::protocol {

// Bodies at least this large travel gzip-compressed when both ends agree.
inline constexpr std::size_t kCompressThreshold = 16 * 1024;

// A gzip stream (RFC 1952) of the data. Level 1 by default: on a packet
// array it keeps most of the gain of higher levels at several times the speed.
std::string gzipCompress(std::span<const std::uint8_t> data, int level = 1);

}  // namespace qel::protocol
