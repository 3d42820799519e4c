#pragma once

// Damaged copies of an answer's body, chosen by a number from the proxy's
// seeded generator.

#include <cstdint>
#include <string>
#include <string_view>

namespace qel::faults {

// A point in [0, size): where a body is cut (0 when it is empty).
std::size_t cutPoint(std::size_t size, std::uint64_t draw);

// A copy of a MessagePack body that every decoder of the protocol must
// refuse: a tag MessagePack never uses, bytes after the value, or an array
// that claims more elements than the bytes left. Flipping random bytes is
// avoided on purpose: it can leave a valid answer that says something else,
// which no client can tell from the server's word.
std::string corruptMessagePack(std::string_view body, std::uint64_t draw);

// The same for a body as it travels: a gzip body is unpacked, corrupted and
// packed again, so the damage reaches the decoder behind the decompression.
std::string malformedBody(std::string_view body, bool gzipped, std::uint64_t draw);

}  // namespace qel::faults
