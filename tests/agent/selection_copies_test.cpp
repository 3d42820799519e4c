// The four selections the acknowledgement reads again afterwards keep a copy
// of their last opening; no other selection touches those copies.
#include <gtest/gtest.h>

#include "../station_fixture.h"
#include "core/error.h"

namespace {

class SelectionCopies : public qel::testing::StationFixture {
  protected:
    // Marks every copy, so a copy that was not replaced shows it.
    void markCopies() {
        const qel::Dataset marker({{"MARKER", qel::FieldType::String, 1, 0}});
        dm->copies.cdsCliArqCat52 = marker;
        dm->copies.cdsCliItFidelidade = marker;
        dm->copies.cdsCliMoviClie = marker;
        dm->copies.cdsCliMovBeneficioCons = marker;
    }
    // Which copies still hold the marker, in the order above.
    std::vector<bool> marked() const {
        auto isMarker = [](const qel::Dataset& d) {
            return d.fields().size() == 1 && d.fields()[0].name == "MARKER";
        };
        return {isMarker(dm->copies.cdsCliArqCat52), isMarker(dm->copies.cdsCliItFidelidade),
                isMarker(dm->copies.cdsCliMoviClie), isMarker(dm->copies.cdsCliMovBeneficioCons)};
    }
};

TEST_F(SelectionCopies, EachOfTheFourSelectionsReplacesOnlyItsOwnCopy) {
    const std::vector<std::string> copied = {"adqCliARQCAT52", "adqCliITFIDELIDADE",
                                             "adqCliMoviClie", "adqCliMovBeneficioCons"};
    for (std::size_t i = 0; i < copied.size(); ++i) {
        markCopies();
        const qel::Dataset selected = dm->openSelection(copied[i]);
        std::vector<bool> expected(copied.size(), true);
        expected[i] = false;
        EXPECT_EQ(marked(), expected) << copied[i];
        EXPECT_FALSE(selected.fields().empty()) << copied[i];
    }
    EXPECT_EQ(dm->copies.cdsCliMovBeneficioCons, dm->openSelection("adqCliMovBeneficioCons"));
    markCopies();
    dm->openSelection("adqCliItemVenda");
    EXPECT_EQ(marked(), std::vector<bool>(copied.size(), true));
}

}  // namespace

namespace {

// The verification answer's positions: the last one is the last dataset,
// one past it is an error rather than a neighbour's memory.
TEST(ResultDatasets, EveryPositionUpToTheLastAndNoFurther) {
    qel::agent::ResultDatasets results;
    using qel::agent::ResultDatasets;
    EXPECT_EQ(&results.at(0), &results.cdsRetConsumidor);
    EXPECT_EQ(&results.at(ResultDatasets::kCount - 1), &results.cdsRetItCmdLog);
    EXPECT_EQ(ResultDatasets::name(ResultDatasets::kCount - 1), "cdsRetItCmdLog");
    EXPECT_THROW(results.at(ResultDatasets::kCount), qel::Error);
}

}  // namespace
