#include <gtest/gtest.h>

#include "core/decimal.h"
#include "core/error.h"
#include "core/text.h"
#include "core/variant.h"

using qel::ConversionError;
using qel::Variant;

TEST(Variant, ConvertsWhatHasAMeaning) {
    EXPECT_EQ(Variant("100").asInteger(), 100);
    EXPECT_EQ(Variant(" 42").asInteger(), 42);
    EXPECT_EQ(Variant(7.0).asInteger(), 7);
    EXPECT_EQ(Variant(qel::Decimal{1500, 2}).asInteger(), 15);
    EXPECT_DOUBLE_EQ(Variant("12,5").asFloat(), 12.5);
    EXPECT_DOUBLE_EQ(Variant("12.5").asFloat(), 12.5);
    EXPECT_EQ(Variant(std::int64_t{5}).asString(), "5");
    EXPECT_EQ(Variant(0.1).asString(), "0.1");
    EXPECT_EQ(Variant(qel::Decimal{-5, 2}).asString(), "-0.05");
    EXPECT_EQ(Variant::null().asString(), "");
    EXPECT_EQ(Variant("06/12/2026").asDateTime(), qel::DateTime::fromDate(2026, 12, 6));
    EXPECT_TRUE(Variant("True").asBoolean());
    EXPECT_FALSE(Variant(std::int64_t{0}).asBoolean());
}

TEST(Variant, ConversionsThatMustFailDoFailWithAMessage) {
    auto message = [](auto&& f) {
        try {
            f();
        } catch (const ConversionError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    // A non-numeric sales limit must not pass as 0.
    EXPECT_EQ(message([] { Variant("1O0").asInteger(); }),
              "Could not convert variant of type (String) '1O0' into type (Integer)");
    EXPECT_THROW(Variant("").asInteger(), ConversionError);
    EXPECT_THROW(Variant("80:81").asInteger(), ConversionError);
    EXPECT_THROW(Variant(2.5).asInteger(), ConversionError);
    EXPECT_THROW(Variant::null().asInteger(), ConversionError);
    EXPECT_THROW(Variant().asFloat(), ConversionError);
    EXPECT_THROW(Variant("12.5.1").asFloat(), ConversionError);
    EXPECT_THROW(Variant("amanhã").asDateTime(), ConversionError);
    EXPECT_THROW(Variant("talvez").asBoolean(), ConversionError);
    EXPECT_THROW(Variant(std::int64_t{1}).asArray(), ConversionError);
    EXPECT_THROW(Variant("x").asPacket(), ConversionError);
    EXPECT_THROW(Variant(qel::VariantArray{}).asString(), ConversionError);
}

TEST(Variant, EqualityDistinguishesNullFromUnassignedAndKinds) {
    EXPECT_FALSE(Variant() == Variant::null());
    EXPECT_FALSE(Variant(std::int64_t{1}) == Variant(1.0));
    EXPECT_TRUE(Variant(qel::VariantArray{Variant("a"), Variant::null()}) ==
                Variant(qel::VariantArray{Variant("a"), Variant::null()}));
}

TEST(Decimal, ParsesFormatsAndComparesExactly) {
    EXPECT_EQ(qel::Decimal::parse("12.30").toString(), "12.30");
    EXPECT_EQ(qel::Decimal::parse("-0.05"), (qel::Decimal{-5, 2}));
    EXPECT_EQ(qel::Decimal::parse("1.5"), (qel::Decimal{150, 2}));
    EXPECT_EQ(qel::Decimal::fromDouble(0.29, 2), (qel::Decimal{29, 2}));
    EXPECT_EQ(Variant(qel::Decimal{15, 1}).asDecimal(4), (qel::Decimal{15000, 4}));
    EXPECT_THROW(qel::Decimal::parse("1e5"), ConversionError);
    EXPECT_THROW(qel::Decimal::parse("99999999999999999999"), ConversionError);
}

TEST(Text, WritesPortugueseInWindows1252) {
    const std::string cp = qel::text::utf8ToCp1252("EXPORTAÇÃO REALIZADA COM SUCESSO");
    EXPECT_EQ(cp, "EXPORTA\xC7\xC3O REALIZADA COM SUCESSO");
    EXPECT_EQ(qel::text::utf8ToCp1252("Início – €"),
              "In\xED"
              "cio \x96 \x80");
    EXPECT_EQ(qel::text::cp1252ToUtf8(cp), "EXPORTAÇÃO REALIZADA COM SUCESSO");
    EXPECT_EQ(qel::text::utf8ToCp1252("日"), "?");
    // Bytes that are not UTF-8 are already single-byte text: kept as they are.
    EXPECT_EQ(qel::text::utf8ToCp1252("\xC7X"), "\xC7X");
}
