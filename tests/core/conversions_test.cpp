// Every conversion of a Variant and of a dataset field, on both sides of the
// edges where a conversion stops having a meaning; the calendar arithmetic
// under the dates; the digits of a date's text and what a date text may hold.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "core/calendar.h"
#include "core/clock.h"
#include "core/dataset.h"
#include "core/error.h"
#include "core/variant.h"

namespace qel {
namespace {

std::string conversionError(const Variant& v, void (*convert)(const Variant&)) {
    try {
        convert(v);
    } catch (const ConversionError& e) {
        return e.what();
    }
    return "no error";
}

TEST(VariantToInteger, AcceptsOnlyWholeValuesAndNamesWhatFailed) {
    EXPECT_EQ(Variant(true).asInteger(), 1);
    EXPECT_EQ(Variant(false).asInteger(), 0);
    EXPECT_EQ(Variant("+7").asInteger(), 7);
    EXPECT_EQ(Variant("-7").asInteger(), -7);
    EXPECT_THROW(Variant("+").asInteger(), ConversionError);
    EXPECT_THROW(Variant("   ").asInteger(), ConversionError);
    EXPECT_THROW(Variant("7 8").asInteger(), ConversionError);
    // A float is whole only inside the 64-bit range, with a margin.
    EXPECT_EQ(Variant(9.1e18).asInteger(), 9'100'000'000'000'000'000);
    EXPECT_EQ(Variant(-9.1e18).asInteger(), -9'100'000'000'000'000'000);
    EXPECT_THROW(Variant(9.2e18).asInteger(), ConversionError);
    EXPECT_THROW(Variant(-9.2e18).asInteger(), ConversionError);
    // A decimal is whole when its fraction digits are all zero.
    EXPECT_EQ(Variant(Decimal{-1500, 2}).asInteger(), -15);
    EXPECT_EQ(Variant(Decimal{15, 0}).asInteger(), 15);
    EXPECT_THROW(Variant(Decimal{1501, 2}).asInteger(), ConversionError);
    EXPECT_THROW(Variant(Decimal{1510, 2}).asInteger(), ConversionError);

    auto toInteger = [](const Variant& v) { (void)v.asInteger(); };
    EXPECT_EQ(conversionError(Variant(2.5), toInteger),
              "Could not convert variant of type (Float) '2.5' into type (Integer)");
    EXPECT_EQ(conversionError(Variant(Decimal{1501, 2}), toInteger),
              "Could not convert variant of type (Decimal) '15.01' into type (Integer)");
    EXPECT_EQ(conversionError(Variant(DateTime::fromDate(2026, 12, 6)), toInteger),
              "Could not convert variant of type (DateTime) '06/12/2026' into type (Integer)");
    EXPECT_EQ(conversionError(Variant::null(), toInteger),
              "Could not convert variant of type (Null) into type (Integer)");
    EXPECT_EQ(conversionError(Variant(), toInteger),
              "Could not convert variant of type (Unassigned) into type (Integer)");
    EXPECT_EQ(conversionError(Variant(Bytes{1}), toInteger),
              "Could not convert variant of type (Blob) into type (Integer)");
}

TEST(VariantToText, WritesEveryKindThatHasAText) {
    EXPECT_EQ(Variant(true).asString(), "True");
    EXPECT_EQ(Variant(false).asString(), "False");
    EXPECT_EQ(Variant().asString(), "");
    EXPECT_EQ(Variant(-2.25).asString(), "-2.25");
    EXPECT_EQ(Variant(DateTime::fromDateTime(2026, 12, 6, 9, 52, 13)).asString(),
              "06/12/2026 09:52:13");
    EXPECT_EQ(Variant(DateTime::fromDate(2026, 12, 6)).asString(), "06/12/2026");
    EXPECT_EQ(Variant(Bytes{'a', 'b'}).asString(), "ab");

    auto toText = [](const Variant& v) { (void)v.asString(); };
    EXPECT_EQ(conversionError(Variant(Dataset().toPacket()), toText),
              "Could not convert variant of type (Packet) into type (String)");
    EXPECT_EQ(conversionError(Variant(VariantArray{}), toText),
              "Could not convert variant of type (Array) into type (String)");
}

TEST(VariantToFloat, ConvertsNumbersDatesAndNumericText) {
    EXPECT_EQ(Variant(true).asFloat(), 1.0);
    EXPECT_EQ(Variant(false).asFloat(), 0.0);
    EXPECT_EQ(Variant(std::int64_t{-3}).asFloat(), -3.0);
    EXPECT_EQ(Variant(Decimal{-125, 2}).asFloat(), -1.25);
    EXPECT_EQ(Variant(DateTime(46000.5)).asFloat(), 46000.5);
    EXPECT_EQ(Variant("+1e3").asFloat(), 1000.0);
    EXPECT_EQ(Variant(" -0,5 ").asFloat(), -0.5);
    EXPECT_THROW(Variant("").asFloat(), ConversionError);
    EXPECT_THROW(Variant("1e999").asFloat(), ConversionError);
    EXPECT_THROW(Variant("inf").asFloat(), ConversionError);
    EXPECT_THROW(Variant("nan").asFloat(), ConversionError);
    EXPECT_THROW(Variant("0x10").asFloat(), ConversionError);
    EXPECT_THROW(Variant("1.5x").asFloat(), ConversionError);
    auto toFloat = [](const Variant& v) { (void)v.asFloat(); };
    EXPECT_EQ(conversionError(Variant("abc"), toFloat),
              "Could not convert variant of type (String) 'abc' into type (Double)");
}

TEST(VariantToDecimal, WidensExactlyAndRoundsWhatItMustNarrow) {
    EXPECT_EQ(Variant(Decimal{15, 1}).asDecimal(1), (Decimal{15, 1}));
    const Decimal widened = Variant(std::int64_t{-7}).asDecimal(3);
    EXPECT_EQ(widened.unscaled, -7000);
    EXPECT_EQ(widened.scale, 3);
    EXPECT_EQ(Variant("2,50").asDecimal(2).unscaled, 250);
    // Narrowing rounds to the nearest at the asked scale.
    const Decimal narrowed = Variant(Decimal{1257, 3}).asDecimal(2);
    EXPECT_EQ(narrowed.unscaled, 126);
    EXPECT_EQ(narrowed.scale, 2);
    EXPECT_EQ(Variant(Decimal{1252, 3}).asDecimal(2).unscaled, 125);
    EXPECT_EQ(Variant(Decimal{1, 18}).asDecimal(2), (Decimal{0, 2}));
    // Floats and booleans go through the nearest decimal.
    EXPECT_EQ(Variant(0.125).asDecimal(2).unscaled, 13);
    EXPECT_EQ(Variant(true).asDecimal(1).unscaled, 10);
    // Widening stops where another digit could overflow: the largest value
    // that still widens exactly, and the first one that does not.
    const std::int64_t edge = INT64_MAX / 10;
    const Decimal exact = Variant(Decimal{edge - 1, 0}).asDecimal(1);
    EXPECT_EQ(exact.unscaled, (edge - 1) * 10);
    EXPECT_EQ(exact.scale, 1);
    EXPECT_THROW(Variant(Decimal{edge, 0}).asDecimal(1), ConversionError);
    EXPECT_THROW(Variant(Decimal{-edge, 0}).asDecimal(1), ConversionError);
}

TEST(VariantToDate, ReadsDayCountsAndTextAndRefusesTheRest) {
    EXPECT_EQ(Variant(std::int64_t{46000}).asDateTime(), DateTime(46000));
    EXPECT_EQ(Variant(46000.25).asDateTime(), DateTime(46000.25));
    EXPECT_EQ(Variant(Decimal{4600025, 2}).asDateTime(), DateTime(46000.25));
    EXPECT_EQ(Variant("2026-12-06").asDateTime(), DateTime::fromDate(2026, 12, 6));
    auto toDate = [](const Variant& v) { (void)v.asDateTime(); };
    EXPECT_EQ(conversionError(Variant(true), toDate),
              "Could not convert variant of type (Boolean) into type (Date)");
    EXPECT_EQ(conversionError(Variant::null(), toDate),
              "Could not convert variant of type (Null) into type (Date)");
}

TEST(VariantToBoolean, ReadsNumbersAndTheWordsInAnyCase) {
    EXPECT_TRUE(Variant(std::int64_t{-1}).asBoolean());
    EXPECT_FALSE(Variant(0.0).asBoolean());
    EXPECT_TRUE(Variant(0.5).asBoolean());
    EXPECT_TRUE(Variant(" TRUE ").asBoolean());
    EXPECT_FALSE(Variant("False").asBoolean());
    EXPECT_FALSE(Variant(" fAlSe").asBoolean());
    EXPECT_TRUE(Variant("2").asBoolean());
    EXPECT_FALSE(Variant("0").asBoolean());
    auto toBoolean = [](const Variant& v) { (void)v.asBoolean(); };
    EXPECT_EQ(conversionError(Variant(Decimal{1, 0}), toBoolean),
              "Could not convert variant of type (Decimal) '1' into type (Boolean)");
    EXPECT_EQ(conversionError(Variant(), toBoolean),
              "Could not convert variant of type (Unassigned) into type (Boolean)");
}

TEST(VariantContainers, GiveTheirContentOrFailWithTheKind) {
    Variant array = Variant::array(2);
    array.asArray()[1] = Variant("x");
    const Variant& constArray = array;
    EXPECT_EQ(constArray.asArray().size(), 2u);
    EXPECT_EQ(constArray.asArray()[1].asString(), "x");
    Variant text("x");
    EXPECT_THROW(text.asArray(), ConversionError);
    EXPECT_EQ(Variant(Bytes{7}).asBytes(), Bytes{7});
    EXPECT_THROW(Variant("x").asBytes(), ConversionError);
    EXPECT_THROW(Variant("x").packetPtr(), ConversionError);
    EXPECT_THROW(Variant(std::shared_ptr<const Dataset>()).asPacket(), ConversionError);
    EXPECT_THROW(Variant(std::shared_ptr<const Dataset>()).packetPtr(), ConversionError);

    Dataset one({{"A", FieldType::Integer, 0, 0}});
    one.append({Variant(1)});
    Dataset other({{"A", FieldType::Integer, 0, 0}});
    other.append({Variant(2)});
    const Variant packet(one.toPacket());
    EXPECT_EQ(packet.packetPtr()->rows().size(), 1u);
    EXPECT_TRUE(packet == Variant(one.toPacket()));  // by content, not by pointer
    EXPECT_FALSE(packet == Variant(other.toPacket()));
    EXPECT_FALSE(packet == Variant(std::shared_ptr<const Dataset>()));
    EXPECT_TRUE(Variant(std::shared_ptr<const Dataset>()) ==
                Variant(std::shared_ptr<const Dataset>()));
}

// A null reads as "", 0, false or the zero date; a value reads through its
// own conversion; a date field shows a date-time value as its date only.
TEST(FieldRef, ReadsNullsAsEmptyAndValuesThroughTheirConversions) {
    Dataset d({{"N", FieldType::Integer, 0, 0},
               {"F", FieldType::Float, 0, 0},
               {"B", FieldType::Boolean, 0, 0},
               {"D", FieldType::Date, 0, 0},
               {"T", FieldType::DateTime, 0, 0}});
    const DateTime at = DateTime::fromDateTime(2026, 12, 6, 9, 52, 13);
    d.append({Variant(42), Variant(2.5), Variant(true), Variant(at), Variant(at)});
    d.append({Variant::null(), Variant(), Variant::null(), Variant::null(), Variant()});
    EXPECT_EQ(d.field("N").asInteger(), 42);
    EXPECT_EQ(d.field("F").asFloat(), 2.5);
    EXPECT_TRUE(d.field("B").asBoolean());
    EXPECT_EQ(d.field("D").asString(), "06/12/2026");
    EXPECT_EQ(d.field("T").asString(), "06/12/2026 09:52:13");
    EXPECT_EQ(d.field("T").asDateTime(), at);
    EXPECT_FALSE(d.field("N").isNull());
    d.next();
    EXPECT_TRUE(d.field("N").isNull());
    EXPECT_TRUE(d.field("F").isNull());
    EXPECT_EQ(d.field("N").asInteger(), 0);
    EXPECT_EQ(d.field("F").asFloat(), 0.0);
    EXPECT_FALSE(d.field("B").asBoolean());
    EXPECT_EQ(d.field("T").asDateTime(), DateTime());
    EXPECT_EQ(d.field("D").asString(), "");
    EXPECT_EQ(d.field(std::size_t{0}).def().name, "N");

    EXPECT_EQ(d.findField("t"), 4);
    EXPECT_EQ(d.findField("X"), -1);
    try {
        (void)d.fieldIndex("X");
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Field 'X' not found");
    }
    EXPECT_STREQ(fieldTypeName(FieldType::Decimal), "Decimal");
    EXPECT_STREQ(fieldTypeName(FieldType::Blob), "Blob");
    EXPECT_STREQ(fieldTypeName(FieldType::Date), "Date");
}

TEST(Dataset, LocatesADateFieldByItsDateTextAndRefusesUnpairedValues) {
    Dataset d({{"D", FieldType::Date, 0, 0}, {"T", FieldType::DateTime, 0, 0}});
    const DateTime at = DateTime::fromDateTime(2026, 12, 6, 9, 52, 13);
    d.append({Variant(DateTime::fromDate(2026, 12, 5)), Variant(at)});
    d.append({Variant(at), Variant(at)});
    EXPECT_TRUE(d.locate({"D"}, {Variant("06/12/2026")}));
    EXPECT_EQ(d.recNo(), 1u);
    EXPECT_TRUE(d.locate({"T"}, {Variant("06/12/2026 09:52:13")}));
    EXPECT_EQ(d.recNo(), 0u);
    EXPECT_FALSE(d.locate({"T"}, {Variant("06/12/2026")}));
    EXPECT_THROW(d.locate({"D", "T"}, {Variant("06/12/2026")}), Error);
    d.clear();
    EXPECT_TRUE(d.isEmpty());
    EXPECT_TRUE(d.eof());
}

// Day counts and dates agree both ways on every day of eight centuries
// either side of year 0, and each day follows the one before it.
TEST(Calendar, EveryDayRoundTripsAndFollowsThePreviousOne) {
    int year = -800;
    unsigned month = 1, day = 1;
    auto daysIn = [](int y, unsigned m) -> unsigned {
        static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        return m == 2 && leap ? 29 : kDays[m - 1];
    };
    const std::int64_t first = calendar::daysFromCivil(year, month, day);
    const std::int64_t last = calendar::daysFromCivil(2401, 1, 1);
    int mismatches = 0;
    for (std::int64_t z = first; z <= last && mismatches < 5; ++z) {
        int y = 0;
        unsigned m = 0, d = 0;
        calendar::civilFromDays(z, y, m, d);
        if (y != year || m != month || d != day || calendar::daysFromCivil(y, m, d) != z) {
            ADD_FAILURE() << z << ": " << y << "-" << m << "-" << d << " expected " << year << "-"
                          << month << "-" << day;
            ++mismatches;
        }
        if (++day > daysIn(year, month)) {
            day = 1;
            if (++month > 12) {
                month = 1;
                ++year;
            }
        }
    }
    EXPECT_EQ(calendar::daysFromCivil(1970, 1, 1), 0);
    EXPECT_EQ(calendar::daysFromCivil(1899, 12, 30), -25569);
}

TEST(DateDigits, KeepEveryDigitOfAValueTooWideForItsWidth) {
    auto digits = [](int v, int width) {
        std::string out = "|";
        appendDigits(out, v, width);
        return out;
    };
    EXPECT_EQ(digits(0, 2), "|00");
    EXPECT_EQ(digits(99, 2), "|99");
    EXPECT_EQ(digits(100, 2), "|100");
    EXPECT_EQ(digits(999, 3), "|999");
    EXPECT_EQ(digits(1000, 3), "|1000");
    EXPECT_EQ(digits(7, 3), "|007");
    EXPECT_EQ(digits(9999, 4), "|9999");
    EXPECT_EQ(digits(10000, 4), "|10000");
    EXPECT_EQ(digits(-5, 2), "|-5");
}

TEST(DateText, ReadsOnlyTwoSecondDigitsAndTheMillisecondsOfItsOwnText) {
    const auto ms = [](std::string_view text) { return DateTime::parse(text).parts().millisecond; };
    EXPECT_EQ(ms("06/12/2026 10:20:30.1239"), 123);
    EXPECT_EQ(ms("06/12/2026 10:20:30.1230"), 123);
    EXPECT_EQ(ms("06/12/2026 10:20:30.5"), 500);
    // The text ends where its view ends, whatever digits follow in memory.
    const std::string longer = "06/12/2026 10:20:30.1234567";
    EXPECT_EQ(ms(std::string_view(longer).substr(0, 23)), 123);
    EXPECT_THROW(DateTime::parse("06/12/2026 10:20:059"), ConversionError);
    EXPECT_THROW(DateTime::parse("06/12/2026 10:20:5"), ConversionError);
    EXPECT_THROW(DateTime::parse("06/12/2026 10:2"), ConversionError);
    EXPECT_THROW(DateTime::parse("06/12/2026 10:20:30."), ConversionError);
}

// A text that is not a date is named in the error, rather than reported as
// an impossible date made of the parts read so far.
TEST(DateText, AnUnreadableTextIsNamedInTheError) {
    for (const char* text : {"/12/2026", "2026-1-06", "2026-12-6", "2026-x-06", "6/x/2026",
                             "06/12/2026 x", "06/12/2026 10", "06/12/2026 :20", "   "}) {
        try {
            (void)DateTime::parse(text);
            ADD_FAILURE() << text << ": no error";
        } catch (const ConversionError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "'" + std::string(text) + "' is not a valid date and time");
        }
    }
}

// A text that reads as a date but names no real day is reported with the
// parts it read, not as unreadable.
TEST(DateText, AnImpossibleDateIsReportedWithItsParts) {
    const auto error = [](std::string_view text) {
        try {
            (void)DateTime::parse(text);
        } catch (const ConversionError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(error("2026-00-06"), "Invalid date or time: 2026-00-06 00:00:00.000");
    EXPECT_EQ(error("2026-12-00"), "Invalid date or time: 2026-12-00 00:00:00.000");
    EXPECT_EQ(error("00/12/2026"), "Invalid date or time: 2026-12-00 00:00:00.000");
    EXPECT_EQ(error("06/0/2026"), "Invalid date or time: 2026-00-06 00:00:00.000");
    EXPECT_EQ(error("06/12/2026 24:00"), "Invalid date or time: 2026-12-06 24:00:00.000");
}

}  // namespace
}  // namespace qel
