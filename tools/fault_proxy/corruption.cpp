#include "corruption.h"

#include <stdexcept>

#include "protocol/gzip.h"

namespace qel::faults {
namespace {

// Unpacked answers larger than this are corrupted on the wire instead.
constexpr std::size_t kMaxUnpacked = 512u * 1024u * 1024u;

std::span<const std::uint8_t> bytesOf(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

std::size_t cutPoint(std::size_t size, std::uint64_t draw) {
    return size == 0 ? 0 : static_cast<std::size_t>(draw % size);
}

std::string corruptMessagePack(std::string_view body, std::uint64_t draw) {
    std::string out(body);
    switch (draw % 3) {
        case 0:  // 0xC1 is the one tag MessagePack leaves unused
            if (out.empty()) return "\xC1";
            out[0] = '\xC1';
            return out;
        case 1: {  // one to eight bytes after the value
            const std::size_t extra = 1 + (draw >> 8) % 8;
            for (std::size_t i = 0; i < extra; ++i) {
                out += static_cast<char>((draw >> (16 + 4 * i)) & 0xFF);
            }
            return out;
        }
        default:  // the first header becomes an array of 2^32 - 1 elements
            return std::string("\xDD\xFF\xFF\xFF\xFF", 5) + out.substr(out.empty() ? 0 : 1);
    }
}

std::string malformedBody(std::string_view body, bool gzipped, std::uint64_t draw) {
    if (gzipped) {
        try {
            const std::string unpacked = protocol::gzipDecompress(bytesOf(body), kMaxUnpacked);
            return protocol::gzipCompress(bytesOf(corruptMessagePack(unpacked, draw)));
        } catch (const std::exception&) {
            // Not a gzip stream this proxy can open: damage it as it is.
        }
    }
    return corruptMessagePack(body, draw);
}

}  // namespace qel::faults
