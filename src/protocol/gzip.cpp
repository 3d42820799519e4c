#include "protocol/gzip.h"

#include <zlib.h>

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

}  // namespace qel::protocol
