#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/variant.h"

namespace qel::net {

// An argument encoded once and sent in several calls: a transfer's packet
// array travels in both the insert and the verification call, and encoding
// and compressing it twice was a good part of the transfer's cost.
class EncodedArgument {
  public:
    // REQUIRES: `bytes` is the wire form of exactly one value.
    explicit EncodedArgument(Bytes bytes) : bytes_(std::move(bytes)) {}

    const Bytes& bytes() const { return bytes_; }

    // The bytes as raw deflate blocks that end on a byte boundary without a
    // final block, so they can sit between other such pieces of one gzip
    // stream; made on first use and kept.
    const std::string& deflated() const;
    std::uint32_t crc() const;

  private:
    Bytes bytes_;
    mutable std::string deflated_;
    mutable std::uint32_t crc_ = 0;
    mutable bool made_ = false;
};

// The body of one call: the request [version, object, method, args] with
// `last`, when given, as one more argument after `args`. With `compress`,
// a body of at least the compression threshold is a gzip stream.
struct RequestBody {
    std::string data;
    bool gzipped = false;
};
RequestBody requestBody(std::string_view object, std::string_view method, const VariantArray& args,
                        const EncodedArgument* last, bool compress);

}  // namespace qel::net
