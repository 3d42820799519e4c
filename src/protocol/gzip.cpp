#include "protocol/gzip.h"

#include <zlib.h>

#include <algorithm>

#include "core/error.h"

namespace qel::protocol {

std::string gzipCompress(std::span<const std::uint8_t> data, int level) {
    z_stream z{};
    // windowBits 15 + 16: gzip header and trailer instead of zlib's.
    if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw Error("gzip: cannot initialise the compressor");
    }
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 32, '\0');
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    const auto produced = out.size() - z.avail_out;
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw Error("gzip: compression failed");
    out.resize(produced);
    return out;
}

namespace {

// deflate never expands more than this many times (1032:1 is its limit).
constexpr std::size_t kMaxDeflateRatio = 1032;

}  // namespace

std::size_t gzipStatedSize(std::span<const std::uint8_t> data) {
    if (data.size() < 18) return 0;  // header 10 + trailer 8
    const std::uint8_t* t = data.data() + data.size() - 4;
    const std::size_t isize = std::size_t{t[0]} | std::size_t{t[1]} << 8 | std::size_t{t[2]} << 16 |
                              std::size_t{t[3]} << 24;
    return isize <= data.size() * kMaxDeflateRatio ? isize : 0;
}

std::string gzipDecompress(std::span<const std::uint8_t> data, std::size_t maxBytes,
                           const std::function<void(std::size_t)>& onGrow) {
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK) throw Error("gzip: cannot initialise the decompressor");
    struct End {
        z_stream& z;
        ~End() { inflateEnd(&z); }
    } end{z};
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    std::string out;
    std::size_t produced = 0;
    // A first allocation of the stated size saves the copies of growing; a
    // wrong figure costs only that.
    const std::size_t hint = gzipStatedSize(data);
    for (;;) {
        if (produced == out.size()) {
            if (produced >= maxBytes) {
                throw GzipTooLarge("The decompressed body is larger than " +
                                   std::to_string(maxBytes) + " bytes");
            }
            // The size the trailer announces plus one byte (to see the end
            // of the stream without another growth), then geometrically;
            // never past the bound plus one byte (to see whether the stream
            // goes beyond it).
            const std::size_t next = std::min(
                std::max<std::size_t>({out.size() * 2, 64 * 1024, out.empty() ? hint + 1 : 0}),
                maxBytes + 1);
            if (onGrow) onGrow(next);
            out.resize(next);
        }
        z.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
        z.avail_out = static_cast<uInt>(out.size() - produced);
        const int rc = inflate(&z, Z_NO_FLUSH);
        produced = out.size() - z.avail_out;
        if (rc == Z_STREAM_END) break;
        if (rc != Z_OK && !(rc == Z_BUF_ERROR && z.avail_out == 0)) {
            throw Error(z.avail_in == 0 ? "gzip: the compressed body is truncated"
                                        : "gzip: the compressed body is damaged");
        }
    }
    if (produced > maxBytes) {
        throw GzipTooLarge("The decompressed body is larger than " + std::to_string(maxBytes) +
                           " bytes");
    }
    if (z.avail_in != 0) throw Error("gzip: bytes follow the compressed body");
    out.resize(produced);
    return out;
}

}  // namespace qel::protocol
