// The bytes a central store keeps a row's key and content in. A store outlives
// the build that wrote it: a station that sends its rows again after the
// server is upgraded must find them under the same key with the same content,
// or every row would come back as new or changed. So the canonical forms are
// fixed byte for byte here, MessagePack spelled out by hand.

#include <gtest/gtest.h>

#include "canonical_row.h"

namespace qel::server {
namespace {

Bytes canonical(const Variant& v) {
    Bytes out;
    encodeCanonical(v, out);
    return out;
}

TEST(StoredForms, EachKindOfValueKeepsItsCanonicalBytes) {
    // Plain MessagePack scalars: nil, integers, text.
    EXPECT_EQ(canonical(Variant::null()), (Bytes{0xC0}));
    EXPECT_EQ(canonical(Variant(std::int64_t{300})), (Bytes{0xCD, 0x01, 0x2C}));
    EXPECT_EQ(canonical(Variant("789")), (Bytes{0xA3, '7', '8', '9'}));
    // A decimal with a fraction: [1, unscaled, scale], trailing zeros dropped.
    EXPECT_EQ(canonical(Variant(Decimal{123450, 3})), (Bytes{0x93, 0x01, 0xCD, 0x30, 0x39, 0x02}));
    EXPECT_EQ(canonical(Variant(-12.5)), (Bytes{0x93, 0x01, 0xD0, 0x83, 0x01}));
    // A whole decimal or float is the integer.
    EXPECT_EQ(canonical(Variant(Decimal{700, 2})), (Bytes{0x07}));
    EXPECT_EQ(canonical(Variant(7.0)), (Bytes{0x07}));
    // A float with no short decimal: [3, double], big-endian.
    EXPECT_EQ(canonical(Variant(1e20)),
              (Bytes{0x92, 0x03, 0xCB, 0x44, 0x15, 0xAF, 0x1D, 0x78, 0xB5, 0x8C, 0x40}));
    EXPECT_EQ(canonical(Variant(1.5e-30)),
              (Bytes{0x92, 0x03, 0xCB, 0x39, 0xBE, 0x6C, 0x71, 0xFE, 0x61, 0xA3, 0xEF}));
    // A date-time: [2, milliseconds from 1899-12-30], the fraction of a day
    // before it counted as the time of that day.
    EXPECT_EQ(canonical(Variant(DateTime(1.5))), (Bytes{0x92, 0x02, 0xCE, 0x07, 0xB9, 0x8A, 0x00}));
    EXPECT_EQ(canonical(Variant(DateTime(-1.25))),
              (Bytes{0x92, 0x02, 0xD2, 0xFC, 0x23, 0x3B, 0x00}));
}

TEST(StoredForms, ARowsContentStartsWithTheFingerprintOfItsColumnNames) {
    // Columns sorted by upper-case name, after a 64-bit FNV-1a of the names
    // (each followed by 0xFF).
    Bytes one;
    RowContentCoder(
        {{"VRTOTAL", FieldType::Decimal, 0, 2}, {"CDPRODUTO", FieldType::String, 14, 0}})
        .encode({Variant(Decimal{1050, 2}), Variant("789")}, one);
    EXPECT_EQ(one, (Bytes{0x93, 0xCF, 0x60, 0x29, 0x0C, 0x34, 0x4D, 0x66, 0x6D, 0xBB, 0xA3, '7',
                          '8', '9', 0x93, 0x01, 0x69, 0x01}));
    Bytes single;
    RowContentCoder({{"a", FieldType::Integer, 0, 0}}).encode({Variant(std::int64_t{5})}, single);
    EXPECT_EQ(single, (Bytes{0x92, 0xCF, 0x09, 0x07, 0xC9, 0x07, 0xB5, 0x9F, 0xE6, 0x49, 0x05}));
}

}  // namespace
}  // namespace qel::server
