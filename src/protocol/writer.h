#pragma once

// The MessagePack writer shared by the encoder and by callers that append
// many small values to one buffer (the server's row keys and contents): one
// Writer per buffer and pass, rather than one encodeTo call per value, keeps
// the growth of the buffer geometric and its zero-fill to once per growth.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "protocol/codec.h"
#include "protocol/wire.h"

namespace qel::protocol {

// Appends to a byte vector through a raw pointer: the hot loops are tiny
// writes. The vector grows geometrically ahead of the writes (using the
// capacity it already has before reallocating) and is cut back to what was
// written by finish() or the destructor.
class Writer {
  public:
    explicit Writer(Bytes& out) : out_(out), used_(out.size()) {}
    ~Writer() { finish(); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void byte(std::uint8_t b) { *grow(1) = b; }
    template <typename T>
    void tagged(std::uint8_t tag, T bigEndianValue) {
        std::uint8_t* p = grow(1 + sizeof(T));
        p[0] = tag;
        std::memcpy(p + 1, &bigEndianValue, sizeof(T));
    }
    void raw(const void* data, std::size_t size) {
        if (size == 0) return;
        std::memcpy(grow(size), data, size);
    }
    void finish() { out_.resize(used_); }

    // MessagePack forms, each exactly as encodeTo writes the same value.
    void nil() { byte(0xC0); }
    void integer(std::int64_t v) {
        if (v >= 0) {
            if (v < 128) return byte(static_cast<std::uint8_t>(v));
            if (v <= 0xFF) return tagged(0xCC, static_cast<std::uint8_t>(v));
            if (v <= 0xFFFF) return tagged(0xCD, wire::toBig(static_cast<std::uint16_t>(v)));
            if (v <= 0xFFFFFFFFLL) {
                return tagged(0xCE, wire::toBig(static_cast<std::uint32_t>(v)));
            }
            return tagged(0xCF, wire::toBig(static_cast<std::uint64_t>(v)));
        }
        if (v >= -32) return byte(static_cast<std::uint8_t>(static_cast<std::int8_t>(v)));
        if (v >= INT8_MIN) {
            return tagged(0xD0, static_cast<std::uint8_t>(static_cast<std::int8_t>(v)));
        }
        if (v >= INT16_MIN) {
            return tagged(0xD1,
                          wire::toBig(static_cast<std::uint16_t>(static_cast<std::int16_t>(v))));
        }
        if (v >= INT32_MIN) {
            return tagged(0xD2,
                          wire::toBig(static_cast<std::uint32_t>(static_cast<std::int32_t>(v))));
        }
        tagged(0xD3, wire::toBig(static_cast<std::uint64_t>(v)));
    }
    void float64(double d) { tagged(0xCB, wire::toBig(std::bit_cast<std::uint64_t>(d))); }
    void string(std::string_view s) {
        length(s.size(), 0xA0, 32, 0xD9, 0xDA, 0xDB);
        raw(s.data(), s.size());
    }
    void blob(std::span<const std::uint8_t> b) {
        length(b.size(), 0, 0, 0xC4, 0xC5, 0xC6);
        raw(b.data(), b.size());
    }
    void arrayHeader(std::size_t n) { length(n, 0x90, 16, 0, 0xDC, 0xDD); }

    // A length prefix: the fix form when the kind has one (fixCount > 0) and
    // n fits, else the 8-, 16- or 32-bit form (tag8 0: no 8-bit form).
    void length(std::size_t n, std::uint8_t fixBase, std::size_t fixCount, std::uint8_t tag8,
                std::uint8_t tag16, std::uint8_t tag32) {
        if (n < fixCount) return byte(static_cast<std::uint8_t>(fixBase | n));
        if (tag8 != 0 && n <= 0xFF) return tagged(tag8, static_cast<std::uint8_t>(n));
        if (n <= 0xFFFF) return tagged(tag16, wire::toBig(static_cast<std::uint16_t>(n)));
        if (n > 0xFFFFFFFFULL) throw ProtocolError("Value too large to encode");
        tagged(tag32, wire::toBig(static_cast<std::uint32_t>(n)));
    }

  private:
    std::uint8_t* grow(std::size_t n) {
        if (out_.size() - used_ < n) {
            out_.resize(std::max({out_.capacity(), out_.size() * 2, used_ + n + 256}));
        }
        std::uint8_t* p = out_.data() + used_;
        used_ += n;
        return p;
    }
    Bytes& out_;
    std::size_t used_;
};

// Appends the MessagePack form of a value through an open writer.
void writeValue(Writer& w, const Variant& value);

}  // namespace qel::protocol
