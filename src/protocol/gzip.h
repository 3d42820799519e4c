#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>

namespace qel::protocol {

// Bodies at least this large travel gzip-compressed when both ends agree.
inline constexpr std::size_t kCompressThreshold = 16 * 1024;

// A gzip stream (RFC 1952) of the data. Level 1 by default: on a packet
// array it keeps most of the gain of higher levels at several times the speed.
std::string gzipCompress(std::span<const std::uint8_t> data, int level = 1);

// The data a gzip stream holds, refused with GzipTooLarge as soon as it
// would pass maxBytes (a small stream can inflate a thousandfold), and with
// Error when the stream is damaged, truncated or followed by other bytes.
// `onGrow` (optional) hears the size produced so far before each growth and
// may throw to stop.
class GzipTooLarge : public std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The uncompressed size a gzip stream's trailer states (ISIZE: the last
// member's size modulo 2^32), or 0 when the stream could not produce it
// (deflate expands at most 1032 times) or is too short to have a trailer.
// A claim, not a fact: a stream may state any size within that bound.
std::size_t gzipStatedSize(std::span<const std::uint8_t> data);

std::string gzipDecompress(std::span<const std::uint8_t> data, std::size_t maxBytes,
                           const std::function<void(std::size_t)>& onGrow = {});

}  // namespace qel::protocol
