#include "db/sql_params.h"

#include <gtest/gtest.h>

#include "db/field_types.h"

namespace qel::db {
namespace {

using Names = std::vector<std::string>;

TEST(ToPositionalTest, RepeatedNamesGetAMarkerEach) {
    const PositionalSql p = toPositional(
        "UPDATE VENDA SET IDIMPVENDA = 'S' WHERE CDFILIAL = :P_CDFILIAL AND X IN "
        "(SELECT X FROM T WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA=:CDCAIXA)");
    EXPECT_EQ(p.text,
              "UPDATE VENDA SET IDIMPVENDA = 'S' WHERE CDFILIAL = ? AND X IN "
              "(SELECT X FROM T WHERE CDFILIAL = ? AND CDCAIXA=?)");
    EXPECT_EQ(p.names, (Names{"P_CDFILIAL", "P_CDFILIAL", "CDCAIXA"}));
}

TEST(ToPositionalTest, LiteralsIdentifiersAndCommentsAreLeftAlone) {
    const PositionalSql p = toPositional(
        "SELECT '10:30', 'it''s :NOT', \"a:b\", [c:d], x::int -- :COMMENT\n"
        "/* :BLOCK */ FROM T WHERE A = :A1 AND B = 'x:'");
    EXPECT_EQ(p.text,
              "SELECT '10:30', 'it''s :NOT', \"a:b\", [c:d], x::int -- :COMMENT\n"
              "/* :BLOCK */ FROM T WHERE A = ? AND B = 'x:'");
    EXPECT_EQ(p.names, (Names{"A1"}));
    EXPECT_EQ(toPositional("WHERE A = ':unterminated").names.size(), 0u);
}

TEST(FieldFromDeclaredTypeTest, StationColumnDeclarations) {
    struct Case {
        const char* declared;
        FieldType type;
        int size;
        int scale;
    };
    const Case cases[] = {
        {"CHAR(3)", FieldType::String, 3, 0},
        {"varchar( 40 )", FieldType::String, 40, 0},
        {"VARCHAR", FieldType::String, 0, 0},
        {"TEXT", FieldType::String, 0, 0},
        {"INT", FieldType::Integer, 0, 0},
        {"bigint", FieldType::Integer, 0, 0},
        {"SMALLINT", FieldType::Integer, 0, 0},
        {"DECIMAL(15,2)", FieldType::Decimal, 0, 2},
        {"NUMERIC(18, 4)", FieldType::Decimal, 0, 4},
        {"NUMERIC(10)", FieldType::Decimal, 0, 0},
        {"MONEY", FieldType::Decimal, 0, 4},
        {"FLOAT", FieldType::Float, 0, 0},
        {"DOUBLE PRECISION", FieldType::Float, 0, 0},
        {"DATETIME", FieldType::DateTime, 0, 0},
        {"DATE", FieldType::Date, 0, 0},
        {"BIT", FieldType::Boolean, 0, 0},
        {"BLOB", FieldType::Blob, 0, 0},
        {"VARBINARY(100)", FieldType::Blob, 0, 0},
        {"UNSIGNED BIG INT", FieldType::Integer, 0, 0},
    };
    for (const Case& c : cases) {
        const auto def = fieldFromDeclaredType(c.declared);
        ASSERT_TRUE(def) << c.declared;
        EXPECT_EQ(def->type, c.type) << c.declared;
        EXPECT_EQ(def->size, c.size) << c.declared;
        EXPECT_EQ(def->scale, c.scale) << c.declared;
    }
    EXPECT_FALSE(fieldFromDeclaredType(""));
    EXPECT_FALSE(fieldFromDeclaredType("NUMBER"));
}

TEST(IsStoredDateTimeTest, OnlyTheFullStoredForm) {
    EXPECT_TRUE(isStoredDateTime("2026-12-06 09:52:13.123"));
    EXPECT_FALSE(isStoredDateTime("2026-12-06 09:52:13"));
    EXPECT_FALSE(isStoredDateTime("2026-12-06T09:52:13.123"));
    EXPECT_FALSE(isStoredDateTime("06/12/2026 09:52:13.12"));
}

}  // namespace
}  // namespace qel::db
