#pragma once

// Byte-order helpers and names shared by the encoder and the decoder.

#include <bit>
#include <cstdint>
#include <string_view>

#include "core/dataset.h"

namespace qel::protocol::wire {

static_assert(std::endian::native == std::endian::little ||
              std::endian::native == std::endian::big);

// MessagePack numbers are big-endian; these swap on little-endian hosts.
constexpr std::uint16_t toBig(std::uint16_t v) {
    return std::endian::native == std::endian::little ? __builtin_bswap16(v) : v;
}
constexpr std::uint32_t toBig(std::uint32_t v) {
    return std::endian::native == std::endian::little ? __builtin_bswap32(v) : v;
}
constexpr std::uint64_t toBig(std::uint64_t v) {
    return std::endian::native == std::endian::little ? __builtin_bswap64(v) : v;
}

// Field type names as they travel, indexed by FieldType.
inline constexpr const char* kFieldTypeNames[] = {"String", "Integer",  "Float",   "Decimal",
                                                  "Date",   "DateTime", "Boolean", "Blob"};

inline bool fieldTypeFromName(std::string_view name, FieldType& out) {
    for (int i = 0; i < 8; ++i) {
        if (name == kFieldTypeNames[i]) {
            out = static_cast<FieldType>(i);
            return true;
        }
    }
    return false;
}

}  // namespace qel::protocol::wire
