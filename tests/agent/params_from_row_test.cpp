// How an acknowledgement command's parameters are taken from a result row:
// the name prefix, every declared type, nulls, and the routine's own values.
#include <gtest/gtest.h>

#include "ack/acknowledgement.h"
#include "core/error.h"

namespace {

using qel::DateTime;
using qel::FieldType;
using qel::Variant;
using qel::definitions::ParamType;

qel::Dataset resultRow(const Variant& number, const Variant& when) {
    qel::Dataset d({{"CDFILIAL", FieldType::String, 4, 0},
                    {"NRSEQVENDA", FieldType::Integer, 0, 0},
                    {"VRTOTVENDA", FieldType::Float, 0, 0},
                    {"DTABERTUR", FieldType::DateTime, 0, 0},
                    {"P", FieldType::String, 1, 0},
                    {"P_X", FieldType::String, 1, 0},
                    {"P_", FieldType::String, 1, 0}});
    d.append(
        {Variant("0001"), number, Variant(12.5), when, Variant("p"), Variant("px"), Variant("p_")});
    return d;
}

TEST(ParamsFromRow, EachParameterTakesItsFieldInItsDeclaredType) {
    const qel::definitions::Statement command{"cmd",
                                              qel::definitions::StatementKind::Command,
                                              {{"P_CDFILIAL", ParamType::String},
                                               {"p_NRSEQVENDA", ParamType::String},
                                               {"P_VRTOTVENDA", ParamType::Float},
                                               {"P_DTABERTUR", ParamType::DateTime},
                                               {"DTABERTUR", ParamType::Date},
                                               {"NRSEQVENDA", ParamType::Integer},
                                               {"P", ParamType::String},
                                               {"P_", ParamType::String},
                                               {"P_P_X", ParamType::String}},
                                              "",
                                              ""};
    const DateTime opened = DateTime::fromDateTime(2026, 12, 6, 9, 30, 0);
    const qel::Dataset row = resultRow(Variant(std::int64_t{42}), Variant(opened));
    const qel::db::Params params = qel::agent::paramsFromRow(command, row);
    ASSERT_EQ(params.size(), 9u);
    EXPECT_EQ(*params.find("P_CDFILIAL"), Variant("0001"));
    EXPECT_EQ(*params.find("p_NRSEQVENDA"), Variant("42"));  // a number bound as text
    EXPECT_EQ(*params.find("P_VRTOTVENDA"), Variant(12.5));
    EXPECT_EQ(*params.find("P_DTABERTUR"), Variant(opened));
    EXPECT_EQ(*params.find("DTABERTUR"), Variant(opened.date()));
    EXPECT_EQ(*params.find("NRSEQVENDA"), Variant(std::int64_t{42}));
    EXPECT_EQ(*params.find("P"), Variant("p"));       // too short to carry the prefix
    EXPECT_EQ(*params.find("P_P_X"), Variant("px"));  // only one prefix comes off

    // Nulls stay null for numbers; the routine's own values win over the row.
    const qel::Dataset nulls = resultRow(Variant::null(), Variant(opened));
    const qel::db::Params withNulls =
        qel::agent::paramsFromRow(command, nulls, {{"P_CDFILIAL", Variant("9999")}});
    EXPECT_TRUE(withNulls.find("NRSEQVENDA")->isNull());
    EXPECT_EQ(*withNulls.find("p_NRSEQVENDA"), Variant(""));
    EXPECT_EQ(*withNulls.find("P_CDFILIAL"), Variant("9999"));

    const qel::definitions::Statement missing{
        "cmd", qel::definitions::StatementKind::Command, {{"P_NAOHA", ParamType::String}}, "", ""};
    EXPECT_THROW(qel::agent::paramsFromRow(missing, row), qel::Error);
}

}  // namespace
