#include <gtest/gtest.h>

#include "core/dataset.h"
#include "core/dataset_index.h"
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

// The index finds the row locate finds, for every key of the dataset and
// for keys it does not hold.
TEST(DatasetIndex, FindsTheRowLocateFinds) {
    Dataset d({{"A", FieldType::String, 4, 0},
               {"B", FieldType::String, 4, 0},
               {"N", FieldType::Integer, 0, 0},
               {"D", FieldType::Date, 0, 0}});
    const Variant day(qel::DateTime::fromDate(2026, 12, 6));
    d.append({Variant("ab"), Variant("c"), Variant(std::int64_t{10}), day});
    d.append({Variant("a"), Variant("bc"), Variant(std::int64_t{10}), day});
    d.append(
        {Variant("AB"), Variant("C"), Variant(std::int64_t{11}), day});  // same text key as row 0
    d.append({Variant::null(), Variant(""), Variant::null(), Variant::null()});
    d.append({Variant(std::string("x\0", 2)), Variant(""), Variant(std::int64_t{1}), day});
    const std::vector<std::string> names = {"A", "B", "N", "D"};
    const qel::DatasetIndex index(d, names);
    const std::vector<std::vector<std::string>> keys = {
        {"AB", "c", "10", "06/12/2026"},
        {"a", "BC", "10", "06/12/2026"},
        {"ab", "C", "11", "06/12/2026"},
        {"", "", "", ""},
        {"abc", "", "10", "06/12/2026"},
        {"ab", "c", "10", "2026-12-06"},
        {std::string("x\0", 2), "", "1", "06/12/2026"},
        {"x", std::string("\0", 1), "1", "06/12/2026"}};
    for (const auto& key : keys) {
        const std::vector<Variant> values(key.begin(), key.end());
        const bool found = d.locate(names, values);
        const std::size_t row = index.find(key);
        EXPECT_EQ(row != qel::DatasetIndex::npos, found) << key[0] << "|" << key[1];
        if (found) {
            EXPECT_EQ(row, d.recNo()) << key[0] << "|" << key[1];
        }
    }
    EXPECT_THROW(qel::DatasetIndex(d, {"MISSING"}), qel::Error);
}

TEST(Dataset, PacketRoundTripKeepsFieldsAndRows) {
    const Dataset d = sales();
    Variant packet(d.toPacket());
    Dataset loaded;
    loaded.loadPacket(packet.asPacket());
    EXPECT_EQ(loaded, d);
    EXPECT_EQ(Variant(d.toPacket()), packet);
}
