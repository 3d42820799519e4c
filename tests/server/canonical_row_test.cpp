// Equal values get equal canonical bytes whatever form they travel in, and
// different values never do; the station schema's keys are read as declared.

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <string>

#include "canonical_row.h"
#include "station_keys.h"

namespace qel::server {
namespace {

Bytes canonical(const Variant& v) {
    Bytes out;
    encodeCanonical(v, out);
    return out;
}

TEST(CanonicalValue, NumbersCompareByValueWhateverTheirKindOrScale) {
    // The same number in every form a station may send it.
    const std::vector<std::vector<Variant>> same = {
        {Variant(Decimal{1230, 2}), Variant(Decimal{123, 1}), Variant(Decimal{12300000, 6}),
         Variant(12.3)},
        {Variant(Decimal{-1230, 2}), Variant(-12.3)},
        {Variant(std::int64_t{12}), Variant(Decimal{1200, 2}), Variant(12.0)},
        {Variant(std::int64_t{0}), Variant(Decimal{0, 4}), Variant(-0.0)},
        {Variant(Decimal{123456789012345678, 2}), Variant(Decimal{123456789012345678, 2})},
        {Variant(Decimal{5, 18}), Variant(0.000000000000000005)},
    };
    for (const auto& group : same) {
        for (const Variant& v : group) EXPECT_EQ(canonical(v), canonical(group[0]));
    }
    // Neighbours on both sides stay apart.
    EXPECT_NE(canonical(Variant(Decimal{1230, 2})), canonical(Variant(Decimal{1231, 2})));
    EXPECT_NE(canonical(Variant(Decimal{1230, 2})), canonical(Variant(Decimal{1229, 2})));
    EXPECT_NE(canonical(Variant(Decimal{1230, 2})), canonical(Variant(Decimal{-1230, 2})));
    EXPECT_NE(canonical(Variant(0.1 + 0.2)), canonical(Variant(Decimal{3, 1})));
    // Beyond 18 digits a float stays the double it is.
    EXPECT_EQ(canonical(Variant(1e20)), canonical(Variant(1e20)));
    EXPECT_NE(canonical(Variant(1e20)), canonical(Variant(std::nextafter(1e20, 2e20))));
    // A number is never equal to the text of it.
    EXPECT_NE(canonical(Variant(std::int64_t{12})), canonical(Variant("12")));
    EXPECT_NE(canonical(Variant(Decimal{123, 1})), canonical(Variant("12.3")));
}

// The decimal a double stands for: the shortest digits that read back to it.
Decimal shortestDecimal(double f) {
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, f, std::chars_format::scientific);
    const std::string text(buffer, r.ptr);
    const std::size_t e = text.find('e');
    std::int64_t digits = 0;
    int count = 0;
    for (char c : text.substr(0, e)) {
        if (c >= '0' && c <= '9') {
            digits = digits * 10 + (c - '0');
            ++count;
        }
    }
    const int scale = count - 1 - std::stoi(text.substr(e + 1));
    return Decimal{f < 0 ? -digits : digits, scale};
}

TEST(CanonicalValue, AFloatWithDecimalsIsTheShortestDecimalThatReadsBackToIt) {
    // Prices and quantities of one to six decimals, their neighbouring
    // doubles on both sides, on both sides of 10^9, of both signs.
    std::vector<double> values;
    for (double magnitude : {1.0, 1e3, 1e6, 999999999.0, 1e9, 1e12}) {
        for (int decimals = 1; decimals <= 6; ++decimals) {
            for (std::int64_t m : {1, 3, 7, 10, 99, 101, 12345, 99999}) {
                const double v = magnitude + static_cast<double>(m) / std::pow(10.0, decimals);
                for (double x : {v, -v, std::nextafter(v, 0.0), std::nextafter(v, 2 * v)}) {
                    values.push_back(x);
                }
            }
        }
    }
    for (double x : {0.1, 0.2, 0.1 + 0.2, 1.005, 2.675, 0.0001, 0.00015, 1e-5, 123.45678}) {
        values.push_back(x);
        values.push_back(-x);
    }
    int decimals = 0;
    for (double f : values) {
        if (f == std::trunc(f)) continue;
        const Decimal dec = shortestDecimal(f);
        std::int64_t digits = dec.unscaled < 0 ? -dec.unscaled : dec.unscaled;
        int count = 0;
        for (; digits > 0; digits /= 10) ++count;
        if (count > 18 || dec.scale <= 0 || dec.scale > 18) continue;  // kept as a double
        ++decimals;
        EXPECT_EQ(canonical(Variant(f)), canonical(Variant(dec))) << std::to_string(f);
    }
    EXPECT_GT(decimals, 500);
}

TEST(CanonicalValue, DateTimesCompareToTheMillisecond) {
    const DateTime t = DateTime::fromDateTime(2000, 2, 29, 23, 59, 59, 999);
    EXPECT_EQ(canonical(Variant(t)), canonical(Variant(DateTime(t.value() + 1e-12))));
    EXPECT_NE(canonical(Variant(t)), canonical(Variant(t.addSeconds(0.001))));
    EXPECT_NE(canonical(Variant(t)), canonical(Variant(t.addSeconds(-0.001))));
    // Before 1899-12-30 the fraction is the time of day, whatever the sign.
    const DateTime before = DateTime::fromDateTime(1899, 12, 29, 6, 0, 0);
    const DateTime dayBefore = DateTime::fromDateTime(1899, 12, 28, 18, 0, 0);
    EXPECT_NE(canonical(Variant(before)), canonical(Variant(dayBefore)));
    EXPECT_EQ(canonical(Variant::null()), canonical(Variant()));  // no value either way
    EXPECT_NE(canonical(Variant::null()), canonical(Variant("")));
}

TEST(RowContent, ColumnOrderAndNameCaseDoNotMatterButTheNamesDo) {
    const std::vector<FieldDef> ab = {{"VRTOTAL", FieldType::Decimal, 0, 2},
                                      {"CDPRODUTO", FieldType::String, 14, 0}};
    const std::vector<FieldDef> ba = {{"cdproduto", FieldType::String, 0, 0},
                                      {"VrTotal", FieldType::Float, 0, 0}};
    Bytes one, two;
    RowContentCoder(ab).encode({Variant(Decimal{1050, 2}), Variant("789")}, one);
    RowContentCoder(ba).encode({Variant("789"), Variant(10.5)}, two);
    EXPECT_EQ(one, two);

    const std::vector<FieldDef> other = {{"VRTOTAL", FieldType::Decimal, 0, 2},
                                         {"CDPRODUTOX", FieldType::String, 14, 0}};
    Bytes three;
    RowContentCoder(other).encode({Variant(Decimal{1050, 2}), Variant("789")}, three);
    EXPECT_NE(one, three);
}

TEST(StationKeys, TableAndColumnKeysAreReadAndCommentsIgnored) {
    const PrimaryKeys keys = parsePrimaryKeys(R"sql(
-- CREATE TABLE OLD (A INT, CONSTRAINT PK_OLD PRIMARY KEY (A));
CREATE TABLE Venda (
    CdFilial CHAR(4) NOT NULL, -- store (see PRIMARY KEY below)
    NRSEQVENDA CHAR(10) NOT NULL,
    VRTOTAL DECIMAL(15,2) NULL,
    CONSTRAINT PK_VENDA PRIMARY KEY ( CdFilial ,NRSEQVENDA )
);
CREATE TABLE IF NOT EXISTS NOVOCODIGO (
    CDCONTADOR VARCHAR(40) NOT NULL PRIMARY KEY,
    NRSEQUENCIAL INTEGER
);
CREATE TABLE SEMCHAVE (A INT);
)sql");
    EXPECT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys.at("VENDA"), (std::vector<std::string>{"CDFILIAL", "NRSEQVENDA"}));
    EXPECT_EQ(keys.at("NOVOCODIGO"), std::vector<std::string>{"CDCONTADOR"});
    // The schema this build carries names the item in the item tax key.
    EXPECT_EQ(stationPrimaryKeys().at("ITVENDAIMPOS"),
              (std::vector<std::string>{"CDFILIAL", "CDCAIXA", "NRSEQVENDA", "NRSEQUITVEND",
                                        "NRSEQITIMPOS"}));
}

}  // namespace
}  // namespace qel::server
