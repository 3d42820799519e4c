#include <gtest/gtest.h>

#include "core/dataset.h"
#include "core/error.h"

using qel::Dataset;
using qel::FieldType;
using qel::Variant;

namespace {

Dataset sales() {
    Dataset d({{"CDFILIAL", FieldType::String, 4, 0},
               {"NRSEQVENDA", FieldType::String, 10, 0},
               {"VRTOTVENDA", FieldType::Decimal, 0, 2},
               {"DTABERTUR", FieldType::Date, 0, 0}});
    d.append({Variant("0001"), Variant("0000000001"), Variant(qel::Decimal{1050, 2}),
              Variant(qel::DateTime::fromDate(2026, 12, 6))});
    d.append({Variant("0001"), Variant("0000000002"), Variant::null(), Variant::null()});
    return d;
}

}  // namespace

TEST(Dataset, CursorAndFieldAccessReadNullsAsEmptyOrZero) {
    Dataset d = sales();
    ASSERT_EQ(d.recordCount(), 2u);
    EXPECT_EQ(d.field("vrtotvenda").asFloat(), 10.5);
    EXPECT_EQ(d.field("DTABERTUR").asString(), "06/12/2026");
    d.next();
    EXPECT_EQ(d.field("VRTOTVENDA").asString(), "");
    EXPECT_EQ(d.field("VRTOTVENDA").asFloat(), 0.0);
    EXPECT_EQ(d.field("DTABERTUR").asDateTime().value(), 0.0);
    d.next();
    EXPECT_TRUE(d.eof());
    EXPECT_THROW(d.field("CDFILIAL").asString(), qel::Error);
    d.first();
    EXPECT_THROW(d.field("NAOEXISTE"), qel::Error);
    EXPECT_THROW(d.append({Variant("x")}), qel::Error);
}

TEST(Dataset, LocateIsCaseInsensitiveOnSeveralFields) {
    Dataset d({{"CDFILIAL", FieldType::String, 4, 0}, {"NMOPER", FieldType::String, 20, 0}});
    d.append({Variant("0001"), Variant("ana")});
    d.append({Variant("0002"), Variant("Ana")});
    EXPECT_TRUE(d.locate({"cdfilial", "NMOPER"}, {Variant("0002"), Variant("ANA")}));
    EXPECT_EQ(d.recNo(), 1u);
    EXPECT_FALSE(d.locate({"CDFILIAL", "NMOPER"}, {Variant("0003"), Variant("ana")}));
    EXPECT_EQ(d.recNo(), 1u);
}

TEST(Dataset, PacketRoundTripKeepsFieldsAndRows) {
    const Dataset d = sales();
    Variant packet(d.toPacket());
    Dataset loaded;
    loaded.loadPacket(packet.asPacket());
    EXPECT_EQ(loaded, d);
    EXPECT_EQ(Variant(d.toPacket()), packet);
}
