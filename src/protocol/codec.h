#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/variant.h"

namespace qel::protocol {

// Version of the wire format; travels in every request and in the URL.
inline constexpr int kProtocolVersion = 1;

// MessagePack extension types this format defines (docs/protocol.md).
inline constexpr std::int8_t kExtUnassigned = 1;  // ext 8, no data
inline constexpr std::int8_t kExtDateTime = 2;    // fixext 8: IEEE-754 day count, big-endian
inline constexpr std::int8_t kExtDecimal = 3;     // ext 8, 9 bytes: scale, unscaled int64 BE

// Malformed, truncated, oversized or mistyped data on the wire.
class ProtocolError : public ServerError {
    using ServerError::ServerError;
};

// The decoded values of a message would take more memory than allowed.
class DecodeTooLarge : public ProtocolError {
    using ProtocolError::ProtocolError;
};

// Bounds that keep a hostile or broken message from exhausting the process.
struct DecodeLimits {
    std::size_t maxDepth = 16;                    // nesting of arrays and packets
    std::size_t maxBytes = 256u * 1024u * 1024u;  // whole message
    // Memory the decoded values may take, counted before it is allocated
    // (0: no bound). A value takes several times its encoded size (a nil is
    // one byte on the wire and a whole Variant in memory), so this bound, not
    // maxBytes, is what caps the memory a message can cost.
    std::size_t maxMemory = 0;
    // Called whenever the memory counted grows by another kMemoryReportStep,
    // with the total so far; it may throw to stop decoding (a budget shared by
    // several messages decoded at once ran out).
    std::function<void(std::size_t)> onMemory;
};
inline constexpr std::size_t kMemoryReportStep = 1u << 20;

// Appends the MessagePack form of a value to `out`.
void encodeTo(const Variant& value, Bytes& out);
Bytes encode(const Variant& value);
// Appends the header of an array of `count` elements; the caller then
// appends exactly that many encoded values (builds composite keys cheaply).
void encodeArrayHeaderTo(std::size_t count, Bytes& out);

// Decodes exactly one value that fills the whole buffer. Throws ProtocolError
// with the offset and the reason on anything that is not a well-formed value
// of this format: trailing bytes, truncation, unknown tags or extension
// types, invalid UTF-8, a row whose length differs from the field count, a
// value whose kind does not fit its field's type, or a limit exceeded.
Variant decode(std::span<const std::uint8_t> data, const DecodeLimits& limits = {});

// One method call: which server object, which method, its arguments.
struct Request {
    std::string object;
    std::string method;
    VariantArray args;
};

// A request travels as the array [version, object, method, [args...]].
Bytes encodeRequest(std::string_view object, std::string_view method, const VariantArray& args);
Request decodeRequest(std::span<const std::uint8_t> data, const DecodeLimits& limits = {});

// A value decoded earlier, with the memory its decode was counted at.
struct DecodedValue {
    Variant value;
    std::size_t memory = 0;
};

// For a caller that keeps values it has decoded (the packet array arrives in
// two calls in a row): the last argument of a request is first offered, as
// its exact bytes up to the end of the message, to `find`, which may answer
// the value decoded earlier from those same bytes. A value found is counted
// against the limits as if decoded again. Otherwise the argument is decoded
// as usual and `bytes` and `memory` tell what the caller may keep.
struct LastArgument {
    std::function<std::optional<DecodedValue>(std::span<const std::uint8_t>)> find;
    std::span<const std::uint8_t> bytes;  // out, when decoded: the argument's own bytes
    std::size_t memory = 0;               // out, when decoded: the memory counted for it
    bool reused = false;                  // out: `find` answered
};

// decodeRequest, offering the last argument to `last.find` first. Decodes
// the same request and fails with the same errors as decodeRequest.
Request decodeRequest(std::span<const std::uint8_t> data, const DecodeLimits& limits,
                      LastArgument& last);

}  // namespace qel::protocol
