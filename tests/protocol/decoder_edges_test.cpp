// The decoder at the edges of what it accepts: code points at the ends of
// Unicode and around the surrogates, a field definition's numbers on both
// sides of their range, a packet key in either text form, the memory a
// text is charged, and a failure message asked of answers that are none.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/dataset.h"
#include "protocol/codec.h"
#include "protocol/envelope.h"
#include "protocol/utf8.h"

namespace qel::protocol {
namespace {

bool valid(const std::string& s) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    return validUtf8(p, s.size(), p + s.size());
}

TEST(Utf8, TheEndsOfUnicodeAndTheSurrogatesOnBothSides) {
    EXPECT_TRUE(valid("\xF4\x8F\xBF\xBF"));   // U+10FFFF
    EXPECT_FALSE(valid("\xF4\x90\x80\x80"));  // U+110000
    EXPECT_TRUE(valid("\xED\x9F\xBF"));       // U+D7FF
    EXPECT_FALSE(valid("\xED\xA0\x80"));      // U+D800
    EXPECT_FALSE(valid("\xED\xBF\xBF"));      // U+DFFF
    EXPECT_TRUE(valid("\xEE\x80\x80"));       // U+E000
    EXPECT_TRUE(valid("\xF0\x90\x80\x80"));   // U+10000, the first four-byte one
    EXPECT_FALSE(valid("\xF0\x8F\xBF\xBF"));  // the same length for U+FFFF: overlong
    EXPECT_TRUE(valid("\xE0\xA0\x80"));       // U+0800
    EXPECT_FALSE(valid("\xE0\x9F\xBF"));      // U+07FF in three bytes: overlong
    EXPECT_TRUE(valid("\xC2\x80"));           // U+0080
    EXPECT_FALSE(valid("\xC1\xBF"));          // U+007F in two bytes: overlong
    // Longer texts, the bad sequence after a run of plain ASCII.
    EXPECT_FALSE(valid(std::string(17, 'a') + "\xF4\x90\x80\x80"));
    EXPECT_TRUE(valid(std::string(17, 'a') + "\xF4\x8F\xBF\xBF"));
}

// A one-field packet without rows whose field definition holds `size` and
// `scale` as their bytes are given.
Bytes packetWithField(Bytes size, Bytes scale, bool longKeys = false) {
    Bytes b = {0x82};
    auto key = [&](const std::string& k) {
        if (longKeys) {
            b.insert(b.end(), {0xD9, static_cast<std::uint8_t>(k.size())});
        } else {
            b.push_back(static_cast<std::uint8_t>(0xA0 | k.size()));
        }
        b.insert(b.end(), k.begin(), k.end());
    };
    key("fields");
    b.insert(b.end(), {0x91, 0x94, 0xA1, 'A', 0xA6, 'S', 't', 'r', 'i', 'n', 'g'});
    b.insert(b.end(), size.begin(), size.end());
    b.insert(b.end(), scale.begin(), scale.end());
    key("rows");
    b.push_back(0x90);
    return b;
}

std::string rejection(const Bytes& bytes) {
    try {
        decode(bytes);
    } catch (const ProtocolError& e) {
        return e.what();
    }
    return "accepted";
}

TEST(DecoderFields, SizeAndScaleAreWholeNumbersFromZeroToABillion) {
    const Bytes billion = {0xCE, 0x3B, 0x9A, 0xCA, 0x00};
    const Bytes billionAndOne = {0xCE, 0x3B, 0x9A, 0xCA, 0x01};
    EXPECT_EQ(decode(packetWithField(billion, {0x00})).asPacket().fields()[0].size, 1'000'000'000);
    EXPECT_EQ(decode(packetWithField({0x00}, {0x12})).asPacket().fields()[0].scale, 18);
    EXPECT_NE(rejection(packetWithField(billionAndOne, {0x00})).find("invalid field size"),
              std::string::npos);
    EXPECT_NE(rejection(packetWithField({0xFF}, {0x00})).find("invalid field size"),
              std::string::npos);  // -1
    EXPECT_NE(rejection(packetWithField({0xC0}, {0x00})).find("invalid field size"),
              std::string::npos);  // nil
    EXPECT_NE(rejection(packetWithField({0x00}, {0xFF})).find("invalid field scale"),
              std::string::npos);
    EXPECT_NE(rejection(packetWithField({0x00}, {0x13})).find("scale above 18"), std::string::npos);
}

TEST(DecoderFields, PacketKeysMayComeInEitherTextForm) {
    const Variant shortKeys = decode(packetWithField({0x05}, {0x00}));
    const Variant longKeys = decode(packetWithField({0x05}, {0x00}, true));
    EXPECT_TRUE(shortKeys == longKeys);
    EXPECT_EQ(longKeys.asPacket().fields()[0].size, 5);
}

TEST(DecoderFields, AWrongPacketKeyOfAnyLengthIsNamedAsTheWrongKey) {
    // Keys of odd and even length, short and long form: each is read as a
    // text and refused for what it says, not for its form.
    for (const std::string& wrong :
         std::vector<std::string>{"f", "fi", "field", "fieldsX", "FIELDS", std::string(31, 'k')}) {
        Bytes b = {0x82, static_cast<std::uint8_t>(0xA0 | wrong.size())};
        b.insert(b.end(), wrong.begin(), wrong.end());
        EXPECT_NE(rejection(b).find("a packet starts with \"fields\""), std::string::npos) << wrong;
        Bytes longForm = {0x82, 0xD9, static_cast<std::uint8_t>(wrong.size())};
        longForm.insert(longForm.end(), wrong.begin(), wrong.end());
        EXPECT_NE(rejection(longForm).find("a packet starts with \"fields\""), std::string::npos)
            << wrong;
    }
    Bytes rowsKey = packetWithField({0x00}, {0x00});
    rowsKey[rowsKey.size() - 4] = 'x';  // "rows" -> "roxs"
    EXPECT_NE(rejection(rowsKey).find("second entry is \"rows\""), std::string::npos);
    // Only a text is a key.
    EXPECT_NE(rejection({0x82, 0x01}).find("expected a text key"), std::string::npos);
    EXPECT_NE(rejection({0x82, 0xDA, 0x00, 0x06}).find("expected a text key"), std::string::npos);
}

// The smallest memory bound under which a one-text array decodes.
std::size_t memoryFor(const std::string& text) {
    const Bytes bytes = encode(Variant(VariantArray{Variant(text)}));
    for (std::size_t bound = 1; bound < 4096; ++bound) {
        try {
            decode(bytes, DecodeLimits{16, 1000, bound, {}});
            return bound;
        } catch (const ProtocolError&) {
        }
    }
    return 0;
}

TEST(DecoderMemory, TextsOfSixteenBytesOrMoreAreChargedTheirLengthAndEnd) {
    const std::size_t fifteen = memoryFor(std::string(15, 'x'));
    ASSERT_GT(fifteen, 0u);
    EXPECT_EQ(memoryFor(std::string(14, 'x')), fifteen);  // held inside the string object
    EXPECT_EQ(memoryFor(std::string(16, 'x')), fifteen + 17);
    EXPECT_EQ(memoryFor(std::string(17, 'x')), fifteen + 18);
}

TEST(Envelope, OnlyAFailedTwoElementAnswerHasAFailureMessage) {
    EXPECT_EQ(failureMessage(Variant(std::int64_t{5})), nullptr);
    EXPECT_EQ(failureMessage(Variant(VariantArray{Variant(false)})), nullptr);
    EXPECT_EQ(failureMessage(Variant(VariantArray{Variant(false), Variant("x"), Variant(1)})),
              nullptr);
    EXPECT_EQ(failureMessage(Variant(VariantArray{Variant(true), Variant("x")})), nullptr);
    const Variant failed(VariantArray{Variant(false), Variant("sem banco")});
    ASSERT_NE(failureMessage(failed), nullptr);
    EXPECT_EQ(*failureMessage(failed), "sem banco");
}

}  // namespace
}  // namespace qel::protocol
