// libFuzzer target for everything the agent and the server decode from the
// network: values, data packets, request frames and answer envelopes.
// Whatever the bytes, decoding either succeeds or throws ProtocolError; a
// value that decodes encodes back to a value that decodes equal to it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/error.h"
#include "protocol/codec.h"
#include "protocol/envelope.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    qel::protocol::DecodeLimits limits;
    limits.maxBytes = 1u << 20;
    try {
        const qel::Variant value = qel::protocol::decode(bytes, limits);
        const qel::Variant again = qel::protocol::decode(qel::protocol::encode(value), limits);
        if (!(again == value) && value.kind() != qel::VariantKind::Float &&
            value.kind() != qel::VariantKind::Array && value.kind() != qel::VariantKind::Packet) {
            std::abort();  // NaN never equals itself, so only exact kinds are compared
        }
        try {
            (void)qel::protocol::unwrapAnswer(value);
        } catch (const qel::ServerError&) {
        }
    } catch (const qel::protocol::ProtocolError&) {
    }
    try {
        (void)qel::protocol::decodeRequest(bytes, limits);
    } catch (const qel::protocol::ProtocolError&) {
    }
    return 0;
}
