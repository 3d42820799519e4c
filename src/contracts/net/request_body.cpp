#include "contracts/net/request_body.h"

#include <zlib.h>

#include "core/error.h"
#include "protocol/codec.h"
#include "protocol/gzip.h"

namespace qel::net {
namespace {

constexpr int kLevel = 1;  // the level of the whole-body compression

// Raw deflate of `data` ending with a full flush: byte-aligned, not final,
// and referring to nothing before it, so it may follow any other piece.
std::string deflatePiece(const std::uint8_t* data, std::size_t size) {
    z_stream z{};
    if (deflateInit2(&z, kLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw Error("gzip: cannot initialise the compressor");
    }
    std::string out(deflateBound(&z, static_cast<uLong>(size)) + 64, '\0');
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FULL_FLUSH);
    const std::size_t produced = out.size() - z.avail_out;
    const bool complete = z.avail_in == 0 && z.avail_out > 0;
    deflateEnd(&z);
    if (rc != Z_OK || !complete) throw Error("gzip: compression failed");
    out.resize(produced);
    return out;
}

std::uint32_t crcOf(const std::uint8_t* data, std::size_t size) {
    return static_cast<std::uint32_t>(crc32(crc32(0L, Z_NULL, 0), data, static_cast<uInt>(size)));
}

void appendLittleEndian(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// One gzip stream (RFC 1952) of `head` followed by the bytes of `tail`,
// whose deflated form is reused as it is.
std::string gzipJoined(const Bytes& head, const EncodedArgument& tail) {
    static constexpr char kHeader[10] = {'\x1f', '\x8b', 8, 0, 0, 0, 0, 0, 0, '\xff'};
    // An empty final block with fixed codes closes the deflate data.
    static constexpr char kFinalBlock[2] = {3, 0};
    const std::string first = deflatePiece(head.data(), head.size());
    const std::string& second = tail.deflated();
    std::string out;
    out.reserve(sizeof kHeader + first.size() + second.size() + sizeof kFinalBlock + 8);
    out.append(kHeader, sizeof kHeader);
    out += first;
    out += second;
    out.append(kFinalBlock, sizeof kFinalBlock);
    const std::size_t tailSize = tail.bytes().size();
    appendLittleEndian(
        out, static_cast<std::uint32_t>(crc32_combine(crcOf(head.data(), head.size()), tail.crc(),
                                                      static_cast<z_off_t>(tailSize))));
    appendLittleEndian(out, static_cast<std::uint32_t>(head.size() + tailSize));
    return out;
}

}  // namespace

const std::string& EncodedArgument::deflated() const {
    if (!made_) {
        deflated_ = deflatePiece(bytes_.data(), bytes_.size());
        crc_ = crcOf(bytes_.data(), bytes_.size());
        made_ = true;
    }
    return deflated_;
}

std::uint32_t EncodedArgument::crc() const {
    deflated();
    return crc_;
}

RequestBody requestBody(std::string_view object, std::string_view method, const VariantArray& args,
                        const EncodedArgument* last, bool compress) {
    RequestBody body;
    if (last == nullptr) {
        const Bytes encoded = protocol::encodeRequest(object, method, args);
        if (compress && encoded.size() >= protocol::kCompressThreshold) {
            body.data = protocol::gzipCompress(encoded);
            body.gzipped = true;
        } else {
            body.data.assign(reinterpret_cast<const char*>(encoded.data()), encoded.size());
        }
        return body;
    }
    // The request with no arguments ends with the empty argument array's
    // one-byte header; it is replaced by the header of the real count.
    Bytes head = protocol::encodeRequest(object, method, {});
    head.pop_back();
    protocol::encodeArrayHeaderTo(args.size() + 1, head);
    for (const Variant& a : args) protocol::encodeTo(a, head);
    const Bytes& tail = last->bytes();
    if (compress && head.size() + tail.size() >= protocol::kCompressThreshold) {
        body.data = gzipJoined(head, *last);
        body.gzipped = true;
        return body;
    }
    body.data.reserve(head.size() + tail.size());
    body.data.assign(reinterpret_cast<const char*>(head.data()), head.size());
    body.data.append(reinterpret_cast<const char*>(tail.data()), tail.size());
    return body;
}

}  // namespace qel::net
