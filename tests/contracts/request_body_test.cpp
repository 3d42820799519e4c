// A call body built around an argument encoded beforehand must be the very
// request the arguments encode to, plain or as one gzip stream.

#include "contracts/net/request_body.h"

#include <gtest/gtest.h>

#include "protocol/codec.h"
#include "protocol/gzip.h"

namespace qel::testing {
namespace {

Bytes bytesOf(const net::RequestBody& body) {
    const std::span<const std::uint8_t> data(
        reinterpret_cast<const std::uint8_t*>(body.data.data()), body.data.size());
    if (!body.gzipped) return Bytes(data.begin(), data.end());
    const std::string plain = protocol::gzipDecompress(data, 64u << 20);
    return Bytes(plain.begin(), plain.end());
}

// A value whose encoded size is about `size` bytes, compressible like a packet.
Variant payload(std::size_t size) {
    VariantArray rows;
    for (std::size_t i = 0; rows.size() * 24 < size; ++i) {
        rows.emplace_back(VariantArray{Variant(static_cast<std::int64_t>(i)),
                                       Variant("0001-001-" + std::to_string(i * 7919))});
    }
    return Variant(std::move(rows));
}

TEST(RequestBody, EqualsTheRequestOfAllArgumentsPlainAndCompressed) {
    for (const std::size_t size :
         {std::size_t{40}, protocol::kCompressThreshold, std::size_t{400'000}}) {
        const Variant last = payload(size);
        const net::EncodedArgument encoded(protocol::encode(last));
        // 15 leading arguments make 16 in all: the argument array's header
        // grows from one byte to three.
        for (const std::size_t leading : {std::size_t{0}, std::size_t{2}, std::size_t{15}}) {
            VariantArray args;
            for (std::size_t i = 0; i < leading; ++i) args.emplace_back("0001");
            VariantArray all = args;
            all.push_back(last);
            const Bytes expected = protocol::encodeRequest("Exp.rdmInsereServidor", "m", all);
            for (const bool compress : {false, true}) {
                const net::RequestBody body =
                    net::requestBody("Exp.rdmInsereServidor", "m", args, &encoded, compress);
                EXPECT_EQ(body.gzipped, compress && expected.size() >= protocol::kCompressThreshold)
                    << size << " " << leading;
                EXPECT_EQ(bytesOf(body), expected) << size << " " << leading << " " << compress;
                // Without a prepared argument the body is the same request.
                EXPECT_EQ(
                    bytesOf(net::requestBody("Exp.rdmInsereServidor", "m", all, nullptr, compress)),
                    expected);
            }
        }
    }
}

}  // namespace
}  // namespace qel::testing
