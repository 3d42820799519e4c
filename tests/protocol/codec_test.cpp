#include "protocol/codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <msgpack.hpp>

#include "core/dataset.h"

namespace qel::protocol {
namespace {

Variant roundTrip(const Variant& v) {
    return decode(encode(v));
}

std::shared_ptr<const Dataset> everyTypePacket() {
    Dataset ds({{"CDFILIAL", FieldType::String, 4, 0},
                {"NRSEQ", FieldType::Integer, 0, 0},
                {"VRUNIT", FieldType::Float, 0, 0},
                {"VRTOTAL", FieldType::Decimal, 0, 2},
                {"DTMOVIM", FieldType::Date, 0, 0},
                {"DTHRREG", FieldType::DateTime, 0, 0},
                {"IDATIVO", FieldType::Boolean, 0, 0},
                {"FOTO", FieldType::Blob, 0, 0}});
    ds.append({Variant("0001"), Variant(std::int64_t{9'007'199'254'740'993}), Variant(2.0),
               Variant(Decimal{-123456789012, 2}), Variant(DateTime::fromDate(2026, 12, 6)),
               Variant(DateTime::fromDateTime(2026, 12, 6, 9, 52, 13, 999)), Variant(true),
               Variant(Bytes{0, 255, 1})});
    ds.append({Variant("Pão de queijo com requeijão, ção 日本"), Variant(-1), Variant(0.1),
               Variant(Decimal{5, 18}), Variant(DateTime(0.0)), Variant(DateTime(-1.25)),
               Variant(false), Variant(Bytes{})});
    // Nulls and unassigned values in every kind of field stay apart.
    ds.append(Row(8, Variant::null()));
    ds.append(Row(8));
    return ds.toPacket();
}

TEST(Codec, ScalarsRoundTripExactly) {
    const Variant values[] = {
        Variant(),
        Variant::null(),
        Variant(true),
        Variant(false),
        Variant(0),
        Variant(127),
        Variant(128),
        Variant(-33),
        Variant(std::int64_t{INT64_MIN}),
        Variant(std::int64_t{INT64_MAX}),
        Variant(std::int64_t{4'294'967'296}),
        Variant(0.1),
        Variant(-0.0),
        Variant(1e300),
        Variant(Decimal{1230, 2}),
        Variant(Decimal{-5, 2}),
        Variant(Decimal{INT64_MIN, 18}),
        Variant(std::string()),
        Variant(std::string(31, 'x')),
        Variant(std::string(32, 'x')),
        Variant(std::string(70000, 'y')),
        Variant("Exportação – ÚLTIMA VENDA €"),
        Variant(DateTime(0.0)),
        Variant(DateTime::fromDateTime(2026, 12, 6, 23, 59, 59, 999)),
        Variant(DateTime::fromDateTime(1850, 1, 1, 12, 0, 0, 1)),
        Variant(Bytes(300, 7)),
    };
    for (const Variant& v : values) {
        const Variant back = roundTrip(v);
        EXPECT_EQ(back.kind(), v.kind()) << kindName(v.kind());
        EXPECT_TRUE(back == v) << kindName(v.kind()) << " " << v.asString();
    }
    // Equal decimals of different scale must still come back with their own scale.
    EXPECT_EQ(roundTrip(Variant(Decimal{150, 2})).asDecimal(2).unscaled, 150);
    const Variant decimal = roundTrip(Variant(Decimal{150, 2}));
    ASSERT_NE(decimal.get<Decimal>(), nullptr);
    EXPECT_EQ(decimal.get<Decimal>()->scale, 2);
    EXPECT_TRUE(std::signbit(roundTrip(Variant(-0.0)).asFloat()));
}

TEST(Codec, NestedArraysAndPacketsRoundTrip) {
    VariantArray packets(47);
    for (std::size_t i = 0; i < packets.size(); ++i) packets[i] = Variant(everyTypePacket());
    packets[25] = Variant(DateTime::fromDateTime(2026, 12, 6, 9, 0, 0, 5));
    packets[26] = Variant(DateTime(0.0));
    const Variant array{
        VariantArray{Variant("0001"), Variant(packets), Variant::null(), Variant()}};
    const Variant back = roundTrip(array);
    ASSERT_TRUE(back == array);
    const Dataset& p = back.asArray()[1].asArray()[0].asPacket();
    EXPECT_EQ(p.fields()[0].size, 4);
    EXPECT_EQ(p.fields()[3].scale, 2);
    EXPECT_EQ(p.rows()[2][4].kind(), VariantKind::Null);
    EXPECT_EQ(p.rows()[3][4].kind(), VariantKind::Unassigned);
    EXPECT_EQ(p.rows()[0][1].asInteger(), 9'007'199'254'740'993);  // not squeezed through a double

    Dataset empty({{"A", FieldType::String, 0, 0}});
    EXPECT_TRUE(roundTrip(Variant(empty.toPacket())) == Variant(empty.toPacket()));
}

TEST(Codec, OutputIsStandardMessagePack) {
    const Bytes bytes = encode(Variant(VariantArray{Variant(everyTypePacket()), Variant(1.5)}));
    msgpack::object_handle oh =
        msgpack::unpack(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const msgpack::object& o = oh.get();
    ASSERT_EQ(o.type, msgpack::type::ARRAY);
    ASSERT_EQ(o.via.array.ptr[0].type, msgpack::type::MAP);
    EXPECT_EQ(o.via.array.ptr[0].via.map.ptr[0].key.as<std::string>(), "fields");
    EXPECT_EQ(o.via.array.ptr[1].as<double>(), 1.5);
}

TEST(Codec, ForeignEncoderWholeNumberFloatsDecodeAsFloats) {
    // Another encoder writes the Float field's 2.0 as the integer 2.
    msgpack::sbuffer buf;
    msgpack::packer<msgpack::sbuffer> pk(buf);
    pk.pack_map(2);
    pk.pack(std::string("fields"));
    pk.pack_array(1);
    pk.pack_array(4);
    pk.pack(std::string("QTDEBENEFICIO"));
    pk.pack(std::string("Float"));
    pk.pack(0);
    pk.pack(0);
    pk.pack(std::string("rows"));
    pk.pack_array(2);
    pk.pack_array(1);
    pk.pack(2);
    pk.pack_array(1);
    pk.pack(2.5f);
    const Variant v = decode({reinterpret_cast<const std::uint8_t*>(buf.data()), buf.size()});
    const Dataset& ds = v.asPacket();
    ASSERT_EQ(ds.recordCount(), 2u);
    EXPECT_EQ(ds.rows()[0][0].kind(), VariantKind::Float);
    EXPECT_EQ(ds.rows()[0][0].asFloat(), 2.0);
    EXPECT_EQ(ds.rows()[1][0].asFloat(), 2.5);
}

void expectRejected(const Bytes& bytes, const std::string& fragment, DecodeLimits limits = {}) {
    try {
        decode(bytes, limits);
        ADD_FAILURE() << "accepted; expected: " << fragment;
    } catch (const ProtocolError& e) {
        EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
    }
}

TEST(Codec, StrictDecodingRefusesMalformedInput) {
    expectRejected({}, "truncated");
    expectRejected({0x01, 0x02}, "trailing");
    expectRejected({0xC1}, "unknown type tag 0xC1");
    expectRejected({0xA3, 'a', 0xFF, 'b'}, "UTF-8");
    expectRejected({0xA2, 0xC0, 0x80}, "UTF-8");  // overlong NUL
    expectRejected({0xD4, 0x63, 0x00}, "unknown extension type 99");
    expectRejected({0xD7, kExtDateTime, 0x7F, 0xF0, 0, 0, 0, 0, 0, 0}, "out of range");  // +inf
    expectRejected({0xC7, 9, kExtDecimal, 19, 0, 0, 0, 0, 0, 0, 0, 1}, "scale");
    expectRejected({0xCF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "out of range");
    expectRejected({0xDD, 0x7F, 0xFF, 0xFF, 0xFF}, "exceeds the remaining");  // array bomb
    expectRejected({0x81, 0xA1, 'x', 0x01}, "exactly");                       // not a packet
    expectRejected({0x91, 0x91, 0x91, 0x90}, "nesting", DecodeLimits{3, 1000, 0, {}});
    expectRejected(Bytes(2000, 0x01), "exceeds the limit", DecodeLimits{16, 1000, 0, {}});
    // 100 nils are 101 bytes on the wire and 100 whole values in memory.
    Bytes nils{0xDC, 0x00, 100};
    nils.resize(103, 0xC0);
    expectRejected(nils, "bytes of memory", DecodeLimits{16, 1000, 100 * sizeof(Variant) - 1, {}});
    EXPECT_NO_THROW(decode(nils, DecodeLimits{16, 1000, 100 * sizeof(Variant), {}}));

    // Every strict prefix of a valid message is refused, never misread.
    const Bytes whole = encode(Variant(VariantArray{Variant(everyTypePacket()), Variant("fim")}));
    for (std::size_t n = 0; n < whole.size(); ++n) {
        EXPECT_THROW(decode(std::span(whole.data(), n)), ProtocolError) << n;
    }
}

// Builds a one-field packet whose single row holds `value` verbatim.
Bytes packetWithRow(const char* type, std::initializer_list<std::uint8_t> row) {
    Bytes b = {0x82, 0xA6, 'f', 'i', 'e', 'l', 'd', 's', 0x91, 0x94, 0xA1, 'A'};
    const std::string t(type);
    b.push_back(static_cast<std::uint8_t>(0xA0 | t.size()));
    b.insert(b.end(), t.begin(), t.end());
    b.insert(b.end(), {0x00, 0x00, 0xA4, 'r', 'o', 'w', 's', 0x91});
    b.insert(b.end(), row);
    return b;
}

TEST(Codec, PacketRowsMustMatchTheirFields) {
    EXPECT_NO_THROW(decode(packetWithRow("Integer", {0x91, 0x05})));
    expectRejected(packetWithRow("Integer", {0x92, 0x05, 0x06}), "row 0 has 2 values for 1 fields");
    expectRejected(packetWithRow("Integer", {0x90}), "row 0 has 0 values");
    expectRejected(packetWithRow("Integer", {0x91, 0xA1, 'x'}), "field A of type Integer");
    expectRejected(packetWithRow("String", {0x91, 0x05}), "field A of type String");
    expectRejected(packetWithRow("DateTime", {0x91, 0xCB, 0, 0, 0, 0, 0, 0, 0, 0}),
                   "holds a value of kind Float");
    expectRejected(packetWithRow("Decimal", {0x91, 0x05}), "of type Decimal");
    expectRejected(packetWithRow("Money", {0x91, 0x05}), "unknown field type");
    expectRejected(packetWithRow("Blob", {0x91, 0x91, 0x05}), "of kind Array");
    // Values in rows are held to the same checks as anywhere else.
    expectRejected(
        packetWithRow("DateTime", {0x91, 0xD7, kExtDateTime, 0x7F, 0xF0, 0, 0, 0, 0, 0, 0}),
        "out of range");
    expectRejected(
        packetWithRow("Decimal", {0x91, 0xC7, 9, kExtDecimal, 19, 0, 0, 0, 0, 0, 0, 0, 1}),
        "scale");
    expectRejected(packetWithRow("String", {0x91, 0xD9, 2, 'a', 0xFF}), "UTF-8");
    expectRejected(packetWithRow("String", {0x91, 0xD9, 3, 'a'}), "truncated");
    // A one-byte unsigned integer in a Float field comes back as a float too.
    const Variant widened = decode(packetWithRow("Float", {0x91, 0xCC, 200}));
    EXPECT_EQ(widened.asPacket().rows()[0][0].kind(), VariantKind::Float);
    EXPECT_EQ(widened.asPacket().rows()[0][0].asFloat(), 200.0);
}

// Texts are checked a machine word at a time: a bad or multi-byte sequence at
// any position must be found, and the bytes after a text (here a float's tag,
// which has its high bit set) must not count against it.
TEST(Codec, TextValidationAtEveryPositionAndLength) {
    for (std::size_t length = 1; length <= 20; ++length) {
        for (std::size_t at = 0; at < length; ++at) {
            const std::string plain(length, 'x');
            const std::string edits[] = {"\x7F", "\xC3\xA9", "\xE2\x82\xAC",
                                         "\xFF", "\xC3",     "\xED\xA0\x80"};
            for (std::size_t e = 0; e < std::size(edits); ++e) {
                const std::string text = plain.substr(0, at) + edits[e] + plain.substr(at + 1);
                const Variant value(VariantArray{Variant(text), Variant(1.5)});
                if (e < 3) {
                    EXPECT_TRUE(decode(encode(value)) == value) << length << " " << at;
                } else {
                    expectRejected(encode(value), "UTF-8");  // bad byte, cut sequence, surrogate
                }
            }
        }
    }
}

TEST(Codec, RequestsCarryObjectMethodAndArguments) {
    const VariantArray args{Variant("0001"), Variant("001"), Variant(DateTime(46000.5))};
    const Request r =
        decodeRequest(encodeRequest("Exp.rdmInsereServidor", "getLimpezaDiaria", args));
    EXPECT_EQ(r.object, "Exp.rdmInsereServidor");
    EXPECT_EQ(r.method, "getLimpezaDiaria");
    EXPECT_TRUE(Variant(r.args) == Variant(args));

    EXPECT_THROW(decodeRequest(encode(Variant(VariantArray{Variant(2), Variant("a"), Variant("b"),
                                                           Variant(VariantArray{})}))),
                 ProtocolError);
    EXPECT_THROW(decodeRequest(encode(Variant("x"))), ProtocolError);
    EXPECT_THROW(decodeRequest(encode(Variant(
                     VariantArray{Variant(1), Variant("a"), Variant(3), Variant(VariantArray{})}))),
                 ProtocolError);
}

TEST(Codec, ARequestsLastArgumentIsOfferedByItsExactBytesAndReusedAsDecoded) {
    const Variant packet(everyTypePacket());
    const Bytes body = encodeRequest("Exp.rdmInsereServidor", "getVerificaExportacao",
                                     {Variant("0001"), Variant("001"), packet});
    const Bytes own = encode(packet);

    // Nothing held: the argument is decoded as decodeRequest does, and its own
    // bytes (the tail of the message) and memory are reported for keeping.
    LastArgument miss;
    std::size_t offered = 0;
    miss.find = [&](std::span<const std::uint8_t> b) -> std::optional<DecodedValue> {
        ++offered;
        EXPECT_TRUE(std::equal(b.begin(), b.end(), own.begin(), own.end()));
        return std::nullopt;
    };
    const Request decoded = decodeRequest(body, {}, miss);
    EXPECT_EQ(offered, 1u);
    EXPECT_FALSE(miss.reused);
    EXPECT_TRUE(std::equal(miss.bytes.begin(), miss.bytes.end(), own.begin(), own.end()));
    EXPECT_GT(miss.memory, own.size());
    EXPECT_TRUE(Variant(decoded.args) == Variant(decodeRequest(body).args));

    // Held: the value found stands for the argument and is counted against
    // the memory bound as if decoded again.
    LastArgument hit;
    hit.find = [&](std::span<const std::uint8_t> b) -> std::optional<DecodedValue> {
        if (!std::equal(b.begin(), b.end(), own.begin(), own.end())) return std::nullopt;
        return DecodedValue{decoded.args.back(), miss.memory};
    };
    const Request reused = decodeRequest(body, {}, hit);
    EXPECT_TRUE(hit.reused);
    EXPECT_EQ(&reused.args.back().asPacket(), &decoded.args.back().asPacket());
    EXPECT_EQ(reused.method, "getVerificaExportacao");
    EXPECT_THROW(decodeRequest(body, DecodeLimits{16, 1u << 20, miss.memory, {}}, hit),
                 DecodeTooLarge);

    // Frames of another form, and trailing bytes, fail exactly as decodeRequest fails.
    Bytes trailing = body;
    trailing.push_back(0xC0);
    const Bytes others[] = {
        trailing, encode(Variant("x")),
        encode(Variant(VariantArray{Variant(2), Variant("a"), Variant("b"),
                                    Variant(VariantArray{Variant(1)})})),
        encode(
            Variant(VariantArray{Variant(1), Variant("a"), Variant(3), Variant(VariantArray{})})),
        encode(Variant(VariantArray{Variant(1), Variant("a"), Variant("b"), Variant(3)}))};
    for (const Bytes& b : others) {
        std::string plain, offering;
        try {
            decodeRequest(b);
        } catch (const ProtocolError& e) {
            plain = e.what();
        }
        LastArgument last;
        last.find = hit.find;
        try {
            decodeRequest(b, {}, last);
        } catch (const ProtocolError& e) {
            offering = e.what();
        }
        EXPECT_FALSE(plain.empty());
        EXPECT_EQ(offering, plain);
    }
}

}  // namespace
}  // namespace qel::protocol
