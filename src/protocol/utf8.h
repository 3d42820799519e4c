#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::protocol {

// Whether the n bytes at s are well-formed UTF-8: no overlong forms, no
// surrogates, nothing beyond U+10FFFF. `readableEnd` marks how far past the
// text the caller's buffer may be read (at least s + n); plain ASCII texts,
// the usual case, are then checked a whole machine word at a time.
bool validUtf8(const std::uint8_t* s, std::size_t n, const std::uint8_t* readableEnd);

}  // namespace qel::protocol
