#include "protocol/utf8.h"

#include <bit>
#include <cstring>

namespace qel::protocol {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

std::uint64_t load8(const std::uint8_t* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// The bits of a loaded word that hold its first `count` bytes (1..7).
std::uint64_t leadingBytes(std::size_t count) {
    if constexpr (std::endian::native == std::endian::little) {
        return (std::uint64_t{1} << (8 * count)) - 1;
    } else {
        return ~std::uint64_t{0} << (8 * (8 - count));
    }
}

bool asciiOnly(const std::uint8_t* s, std::size_t n, const std::uint8_t* readableEnd) {
    std::uint64_t seen = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) seen |= load8(s + i);
    const std::size_t rest = n - i;
    if (rest != 0) {
        if (readableEnd - (s + i) >= 8) {
            seen |= load8(s + i) & leadingBytes(rest);
        } else {
            for (; i < n; ++i) seen |= s[i];
        }
    }
    return (seen & kHighBits) == 0;
}

bool validMultibyte(const std::uint8_t* s, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        while (i + 8 <= n && (load8(s + i) & kHighBits) == 0) i += 8;
        if (i >= n) break;
        const std::uint8_t c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            len = 2, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode.
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

}  // namespace

bool validUtf8(const std::uint8_t* s, std::size_t n, const std::uint8_t* readableEnd) {
    return asciiOnly(s, n, readableEnd) || validMultibyte(s, n);
}

}  // namespace qel::protocol
