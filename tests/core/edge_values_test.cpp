#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "core/datetime.h"
#include "core/decimal.h"
#include "core/error.h"
#include "core/text.h"

using qel::ConversionError;
using qel::Decimal;

TEST(Decimal, FormatsEveryScaleWithItsLeadingZeros) {
    EXPECT_EQ((Decimal{5, 0}).toString(), "5");
    EXPECT_EQ((Decimal{5, 1}).toString(), "0.5");
    EXPECT_EQ((Decimal{5, 2}).toString(), "0.05");
    EXPECT_EQ((Decimal{12, 2}).toString(), "0.12");  // as many digits as the scale
    EXPECT_EQ((Decimal{123, 2}).toString(), "1.23");
    EXPECT_EQ((Decimal{-123, 2}).toString(), "-1.23");
    EXPECT_EQ((Decimal{0, 3}).toString(), "0.000");
    EXPECT_EQ((Decimal{std::numeric_limits<std::int64_t>::min(), 0}).toString(),
              "-9223372036854775808");
    EXPECT_EQ((Decimal{1, 18}).toString(), "0.000000000000000001");
    EXPECT_THROW((Decimal{1, 19}).toString(), ConversionError);
    EXPECT_THROW((Decimal{1, -1}).toString(), ConversionError);
    EXPECT_THROW((Decimal{1, 19}).toDouble(), ConversionError);
    EXPECT_DOUBLE_EQ((Decimal{1, 18}).toDouble(), 1e-18);
    EXPECT_DOUBLE_EQ((Decimal{-250, 2}).toDouble(), -2.5);
    EXPECT_DOUBLE_EQ((Decimal{7, 0}).toDouble(), 7.0);
}

TEST(Decimal, ParsesSpacesSignsAndBothDecimalMarks) {
    EXPECT_EQ(Decimal::parse("  +7 "), (Decimal{7, 0}));
    EXPECT_EQ(Decimal::parse("-7"), (Decimal{-7, 0}));
    EXPECT_EQ(Decimal::parse("3,25"), (Decimal{325, 2}));
    EXPECT_EQ(Decimal::parse("3.").scale, 0);
    EXPECT_EQ(Decimal::parse(".5"), (Decimal{5, 1}));
    EXPECT_EQ(Decimal::parse("0.000000000000000001"), (Decimal{1, 18}));  // scale 18: the most
    EXPECT_THROW(Decimal::parse("0.0000000000000000001"), ConversionError);
    // Nineteen digits fit while the eighteen before the last do not pass (INT64_MAX - 9) / 10.
    EXPECT_EQ(Decimal::parse("9223372036854775799").unscaled, 9223372036854775799);
    EXPECT_THROW(Decimal::parse("9223372036854775800"), ConversionError);
    for (const char* bad : {"", " ", "-", ".", "1.2.3", "1 2", "1a", "a1", "--1", "1-"}) {
        EXPECT_THROW(Decimal::parse(bad), ConversionError) << bad;
    }
}

TEST(Decimal, FromDoubleRoundsToTheScaleWithinRange) {
    EXPECT_EQ(Decimal::fromDouble(1.005, 3), (Decimal{1005, 3}));
    EXPECT_EQ(Decimal::fromDouble(-2.5, 0), (Decimal{-3, 0}));  // half away from zero
    EXPECT_EQ(Decimal::fromDouble(0.125, 2), (Decimal{13, 2}));
    EXPECT_EQ(Decimal::fromDouble(9.1e18, 0).unscaled, 9100000000000000000);
    EXPECT_THROW(Decimal::fromDouble(9.2e18, 0), ConversionError);
    EXPECT_THROW(Decimal::fromDouble(-9.2e18, 0), ConversionError);
    EXPECT_THROW(Decimal::fromDouble(std::numeric_limits<double>::infinity(), 2), ConversionError);
    EXPECT_THROW(Decimal::fromDouble(std::numeric_limits<double>::quiet_NaN(), 2), ConversionError);
    EXPECT_THROW(Decimal::fromDouble(1.0, 19), ConversionError);
}

TEST(Decimal, EqualByValueAcrossScales) {
    EXPECT_TRUE((Decimal{150, 2}) == (Decimal{15, 1}));
    EXPECT_TRUE((Decimal{15, 1}) == (Decimal{150, 2}));
    EXPECT_FALSE((Decimal{151, 2}) == (Decimal{15, 1}));
    EXPECT_FALSE((Decimal{15, 1}) == (Decimal{151, 2}));
    EXPECT_FALSE((Decimal{160, 2}) == (Decimal{15, 1}));  // divisible, other value
    EXPECT_TRUE((Decimal{-3000, 3}) == (Decimal{-3, 0}));
    EXPECT_FALSE((Decimal{3, 2}) == (Decimal{4, 2}));
}

TEST(Text, Utf8EncodesAtEveryLengthBoundary) {
    auto utf8 = [](char32_t cp) {
        std::string out;
        qel::text::appendUtf8(out, cp);
        return out;
    };
    EXPECT_EQ(utf8(0x7F), "\x7F");
    EXPECT_EQ(utf8(0x80), "\xC2\x80");
    EXPECT_EQ(utf8(0x7FF), "\xDF\xBF");
    EXPECT_EQ(utf8(0x800), "\xE0\xA0\x80");
    EXPECT_EQ(utf8(0xFFFF), "\xEF\xBF\xBF");
    EXPECT_EQ(utf8(0x10000), "\xF0\x90\x80\x80");
    EXPECT_EQ(utf8(0x10FFFF), "\xF4\x8F\xBF\xBF");
}

TEST(Text, Windows1252MapsTheWholeHighRangeBothWays) {
    using qel::text::cp1252ToUtf8;
    using qel::text::utf8ToCp1252;
    for (int b = 0x20; b <= 0xFF; ++b) {
        const std::string one(1, static_cast<char>(b));
        const std::string utf8 = cp1252ToUtf8(one);
        const bool undefined = b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D;
        if (undefined) {
            EXPECT_EQ(utf8, std::string("\xC2") + one) << b;  // kept as the C1 control it names
            continue;
        }
        EXPECT_EQ(utf8ToCp1252(utf8), one) << b;
    }
    EXPECT_EQ(cp1252ToUtf8("\x80\x9F\xA0\x7F"), "\xE2\x82\xAC\xC5\xB8\xC2\xA0\x7F");
    EXPECT_EQ(utf8ToCp1252("\xC4\x80"), "?");          // U+0100, just past Latin-1
    EXPECT_EQ(utf8ToCp1252("\xF0\x9F\x98\x80"), "?");  // four bytes, not in the code page
    EXPECT_EQ(utf8ToCp1252("\xC2\x81"), "?");          // a C1 control the code page leaves out
    EXPECT_EQ(utf8ToCp1252("\xE2\x82"), "\xE2\x82");   // cut short: bytes kept
    EXPECT_EQ(utf8ToCp1252("\xF8\x80"), "\xF8\x80");   // no such lead byte
    EXPECT_EQ(utf8ToCp1252("\xE2\x82\x41"), "\xE2\x82\x41");
}

TEST(Text, CaseAndTrimTouchOnlyWhatTheyShould) {
    EXPECT_EQ(qel::text::upper("az`{AZ@[9 \xE7"), "AZ`{AZ@[9 \xE7");
    EXPECT_TRUE(qel::text::iequals("Venda_1", "vENDA_1"));
    EXPECT_TRUE(qel::text::iequals("az", "AZ"));
    EXPECT_TRUE(qel::text::iequals("AZ", "az"));
    EXPECT_FALSE(qel::text::iequals("venda", "vendas"));
    EXPECT_FALSE(qel::text::iequals("vendas", "venda"));
    EXPECT_FALSE(qel::text::iequals("`", "@"));  // neighbours of the letters do not fold
    EXPECT_FALSE(qel::text::iequals("{", "["));
    EXPECT_FALSE(qel::text::iequals("ab", "ac"));
    EXPECT_TRUE(qel::text::iequals("", ""));
    EXPECT_EQ(qel::text::trim(" \t\r\nx y\n"), "x y");
    EXPECT_EQ(qel::text::trim("x"), "x");
    EXPECT_EQ(qel::text::trim(" \t "), "");
    EXPECT_EQ(qel::text::trim(""), "");
}

TEST(DateTimeBounds, EveryPartIsCheckedOnBothSidesOfItsRange) {
    using qel::DateTime;
    EXPECT_NO_THROW(DateTime::fromDateTime(9999, 12, 31, 23, 59, 59, 999));
    EXPECT_NO_THROW(DateTime::fromDateTime(1, 1, 1, 0, 0, 0, 0));
    EXPECT_THROW(DateTime::fromDateTime(10000, 1, 1, 0, 0, 0, 0), ConversionError);
    EXPECT_THROW(DateTime::fromDateTime(0, 1, 1, 0, 0, 0, 0), ConversionError);
    EXPECT_THROW(DateTime::fromDateTime(2026, 13, 1, 0, 0, 0, 0), ConversionError);
    EXPECT_THROW(DateTime::fromDateTime(2026, 0, 1, 0, 0, 0, 0), ConversionError);
    EXPECT_THROW(DateTime::fromDateTime(2026, 1, 0, 0, 0, 0, 0), ConversionError);
    EXPECT_THROW(DateTime::fromDateTime(2026, 1, 1, 24, 0, 0, 0), ConversionError);
    EXPECT_THROW(DateTime::fromDateTime(2026, 1, 1, 0, 60, 0, 0), ConversionError);
    EXPECT_THROW(DateTime::fromDateTime(2026, 1, 1, 0, 0, 60, 0), ConversionError);
    EXPECT_THROW(DateTime::fromDateTime(2026, 1, 1, 0, 0, 0, 1000), ConversionError);
    EXPECT_THROW(DateTime::fromDateTime(2026, 1, 1, 0, -1, 0, 0), ConversionError);
    try {
        DateTime::fromDateTime(2026, 2, 30, 7, 8, 9, 10);
        ADD_FAILURE() << "30 February accepted";
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "Invalid date or time: 2026-02-30 07:08:09.010");
    }
}

TEST(DateTimeBounds, TimeOfDayIsAnyPartNotZero) {
    using qel::DateTime;
    EXPECT_FALSE(DateTime::fromDate(2026, 12, 6).hasTimeOfDay());
    EXPECT_TRUE(DateTime::fromDateTime(2026, 12, 6, 1, 0, 0, 0).hasTimeOfDay());
    EXPECT_TRUE(DateTime::fromDateTime(2026, 12, 6, 0, 1, 0, 0).hasTimeOfDay());
    EXPECT_TRUE(DateTime::fromDateTime(2026, 12, 6, 0, 0, 1, 0).hasTimeOfDay());
    EXPECT_TRUE(DateTime::fromDateTime(2026, 12, 6, 0, 0, 0, 1).hasTimeOfDay());
}

TEST(DateTimeBounds, ParsesTwoAndFourDigitYearsAndTheFractionsOfASecond) {
    using qel::DateTime;
    EXPECT_EQ(DateTime::parse("06/12/49").toIso(), "2049-12-06 00:00:00.000");
    EXPECT_EQ(DateTime::parse("06/12/50").toIso(), "1950-12-06 00:00:00.000");
    EXPECT_EQ(DateTime::parse("6/1/2026 7:05").toIso(), "2026-01-06 07:05:00.000");
    EXPECT_EQ(DateTime::parse("2026-12-06T07:05:09.5").toIso(), "2026-12-06 07:05:09.500");
    EXPECT_EQ(DateTime::parse("2026-12-06 07:05:09.12").toIso(), "2026-12-06 07:05:09.120");
    EXPECT_EQ(DateTime::parse("2026-12-06 07:05:09.1239").toIso(), "2026-12-06 07:05:09.123");
    EXPECT_EQ(DateTime::parse("  2026-12-06  ").toIso(), "2026-12-06 00:00:00.000");
    for (const char* bad :
         {"06/12/202", "06/12/2", "2026-1-06", "2026-12-6", "20261-12-06", "06-12-2026",
          "2026-12-06 7", "2026-12-06 07:5", "2026-12-06 07:05:9", "2026-12-06 07:05:09.",
          "2026-12-06X07:05", "2026-12-06 07:05x", "", "   "}) {
        EXPECT_THROW(DateTime::parse(bad), ConversionError) << bad;
    }
    EXPECT_EQ(DateTime::fromDateTime(999, 1, 2, 3, 4, 5, 6).toIso(), "0999-01-02 03:04:05.006");
}
