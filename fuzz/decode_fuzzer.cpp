// libFuzzer target for everything the agent and the server decode from the
// network: values, data packets, request frames and answer envelopes.
// Whatever the bytes, decoding either succeeds or throws ProtocolError; a
// value that decodes encodes back to a value that decodes equal to it; a
// request decodes alike whether or not its last argument was decoded before.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

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
    std::optional<qel::Bytes> plain;
    try {
        plain =
            qel::protocol::encode(qel::Variant(qel::protocol::decodeRequest(bytes, limits).args));
    } catch (const qel::protocol::ProtocolError&) {
    }
    // Offering the last argument to a cache of decoded arrays decodes alike,
    // whether the cache has nothing or holds the value of those exact bytes.
    qel::protocol::LastArgument offered;
    offered.find = [](std::span<const std::uint8_t>) {
        return std::optional<qel::protocol::DecodedValue>();
    };
    std::optional<qel::protocol::DecodedValue> kept;
    qel::Bytes keptBytes;
    try {
        const qel::protocol::Request r = qel::protocol::decodeRequest(bytes, limits, offered);
        if (!plain || qel::protocol::encode(qel::Variant(r.args)) != *plain) std::abort();
        if (!offered.bytes.empty()) {
            kept = qel::protocol::DecodedValue{r.args.back(), offered.memory};
            keptBytes.assign(offered.bytes.begin(), offered.bytes.end());
        }
    } catch (const qel::protocol::ProtocolError&) {
        if (plain) std::abort();
    }
    if (kept) {
        qel::protocol::LastArgument held;
        held.find =
            [&](std::span<const std::uint8_t> b) -> std::optional<qel::protocol::DecodedValue> {
            if (!std::equal(b.begin(), b.end(), keptBytes.begin(), keptBytes.end())) return {};
            return kept;
        };
        const qel::protocol::Request r = qel::protocol::decodeRequest(bytes, limits, held);
        if (!held.reused || qel::protocol::encode(qel::Variant(r.args)) != *plain) std::abort();
    }
    return 0;
}
