// A request decoded while offering its last argument must be the request
// decodeRequest gives, byte for byte the same failures included, under
// every memory bound: whatever the quicker way to read a request does, it
// may not accept what the plain decode refuses, nor refuse what it accepts.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "protocol/codec.h"

namespace qel::protocol {
namespace {

// What a decode ended with: the arguments' encoded form, or the error.
struct Outcome {
    std::string result;
    std::size_t reported = 0;  // the highest memory total reported on the way
    bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* out) {
    *out << o.result.substr(0, 200) << " [reported " << o.reported << "]";
}

std::string describe(const Request& r) {
    const Bytes args = encode(Variant(r.args));
    return r.object + "|" + r.method + "|" + std::string(args.begin(), args.end());
}

template <typename Decode>
Outcome outcome(Decode decodeIt, std::size_t maxMemory) {
    Outcome o;
    DecodeLimits limits{16, 64u << 20, maxMemory,
                        [&o](std::size_t total) { o.reported = std::max(o.reported, total); }};
    try {
        o.result = "ok " + describe(decodeIt(limits));
    } catch (const DecodeTooLarge& e) {
        o.result = std::string("too large: ") + e.what();
    } catch (const ProtocolError& e) {
        o.result = std::string("invalid: ") + e.what();
    }
    return o;
}

Outcome plain(const Bytes& body, std::size_t maxMemory) {
    return outcome([&](const DecodeLimits& l) { return decodeRequest(body, l); }, maxMemory);
}

Outcome offering(const Bytes& body, std::size_t maxMemory, std::size_t* offers = nullptr) {
    return outcome(
        [&](const DecodeLimits& l) {
            LastArgument last;
            last.find = [offers](std::span<const std::uint8_t>) -> std::optional<DecodedValue> {
                if (offers) ++*offers;
                return std::nullopt;
            };
            return decodeRequest(body, l, last);
        },
        maxMemory);
}

std::vector<Variant> manyArgs(std::size_t n) {
    std::vector<Variant> args;
    for (std::size_t i = 0; i < n; ++i) args.push_back(Variant(static_cast<std::int64_t>(i)));
    return args;
}

Bytes request(const std::vector<Variant>& args) {
    return encodeRequest("Exp.rdmInsereServidor", "setInsereServidor", VariantArray(args));
}

// Requests whose argument array takes each of its header forms, with short
// and long texts and a blob.
std::vector<Bytes> requests() {
    return {request({Variant("0001")}),
            request({Variant("0001"), Variant("001"), Variant(std::string(40, 'v'))}),
            request(manyArgs(15)),
            request(manyArgs(16)),
            request(manyArgs(300)),
            request({Variant("0001"), Variant(Bytes(70, 0xAB))})};
}

TEST(RequestOffer, EveryMemoryBoundGivesTheSameRequestOrTheSameRefusal) {
    for (const Bytes& body : requests()) {
        SCOPED_TRACE(body.size());
        ASSERT_EQ(plain(body, 0).result.substr(0, 3), "ok ");
        EXPECT_EQ(offering(body, 0), plain(body, 0));
        // From far too little to more than enough: the refusals stop at the
        // same bound on both ways.
        bool refusedSome = false;
        for (std::size_t bound = 1; bound < 20'000; bound += bound < 2'000 ? 1 : 97) {
            const Outcome expected = plain(body, bound);
            refusedSome = refusedSome || expected.result.starts_with("too large");
            ASSERT_EQ(offering(body, bound), expected) << "bound " << bound;
        }
        EXPECT_TRUE(refusedSome);
    }
}

TEST(RequestOffer, EveryCutOfARequestFailsAsThePlainDecodeFails) {
    for (const Bytes& body : requests()) {
        for (std::size_t size = 0; size < body.size(); ++size) {
            const Bytes cut(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(size));
            const Outcome expected = plain(cut, 0);
            ASSERT_TRUE(expected.result.starts_with("invalid: ")) << size;
            ASSERT_EQ(offering(cut, 0), expected) << "cut at " << size << " of " << body.size();
        }
    }
}

TEST(RequestOffer, ALargeArgumentReportsTheSameMemoryOnTheWay) {
    // Reports come every mebibyte counted: blobs of half of one each.
    std::vector<Variant> blobs;
    for (int i = 0; i < 7; ++i) blobs.push_back(Variant(Bytes(1u << 19, 0x5A)));
    const Bytes body = request(blobs);
    const Outcome expected = plain(body, 0);
    ASSERT_GT(expected.reported, 3u << 20);
    EXPECT_EQ(offering(body, 0), expected);
}

TEST(RequestOffer, TheOnlyArgumentIsOfferedAndAnEmptyListHasNoneToOffer) {
    std::size_t offers = 0;
    EXPECT_EQ(offering(request({Variant("0001")}), 0, &offers),
              plain(request({Variant("0001")}), 0));
    EXPECT_EQ(offers, 1u);
    offers = 0;
    EXPECT_EQ(offering(request(manyArgs(16)), 0, &offers), plain(request(manyArgs(16)), 0));
    EXPECT_EQ(offers, 1u);
    offers = 0;
    const Bytes none = request({});
    EXPECT_EQ(offering(none, 0, &offers), plain(none, 0));
    EXPECT_EQ(offers, 0u);
}

}  // namespace
}  // namespace qel::protocol
