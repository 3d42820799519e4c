#include <gtest/gtest.h>

#include "../station_fixture.h"
#include "core/error.h"
#include "result_rows.h"

namespace qel::testing {
namespace {

class ResultLoading : public StationFixture {
  protected:
    static Variant packet(std::vector<qel::FieldDef> fields) {
        return Variant(
            std::shared_ptr<const Dataset>(std::make_shared<Dataset>(std::move(fields))));
    }
};

TEST_F(ResultLoading, AWellFormedAnswerFillsTheResultDatasetsInOrder) {
    VariantArray a = emptyVerdicts();
    a[3] =
        packet({{"CDOPERADOR", FieldType::String, 12, 0}, {"IDSITUACAO", FieldType::String, 3, 0}});
    dm->CarregaResultados(Variant(a));
    EXPECT_EQ(dm->results.cdsRetLogAcesso.fields().size(), 2u);
    EXPECT_EQ(dm->results.cdsRetTotalDiaCaixa.fields()[2].type, FieldType::Date);
}

TEST_F(ResultLoading, AnswersOfTheWrongShapeAreRefused) {
    VariantArray shortAnswer = emptyVerdicts();
    shortAnswer.pop_back();
    VariantArray notAPacket = emptyVerdicts();
    notAPacket[5] = Variant("OK");
    VariantArray wrongDeclared = emptyVerdicts();
    std::vector<qel::FieldDef> textDate = totalResultFields();
    textDate[2] = {"DTTOTAL", FieldType::String, 10, 0};
    wrongDeclared[kTotalResults] = packet(textDate);
    VariantArray missingDeclared = emptyVerdicts();
    missingDeclared[kBenefitResults] = packet({{"IDSITUACAO", FieldType::String, 3, 0}});
    // One character short of its declared size, and one field renamed.
    VariantArray narrowDeclared = emptyVerdicts();
    std::vector<qel::FieldDef> narrow = benefitResultFields();
    narrow[0].size = 20;
    narrowDeclared[kBenefitResults] = packet(narrow);
    VariantArray renamedDeclared = emptyVerdicts();
    std::vector<qel::FieldDef> renamed = totalResultFields();
    renamed[2].name = "DTMOVIM";
    renamedDeclared[kTotalResults] = packet(renamed);
    for (const Variant& bad : {Variant(shortAnswer), Variant(notAPacket), Variant(wrongDeclared),
                               Variant(missingDeclared), Variant(narrowDeclared),
                               Variant(renamedDeclared), Variant("OK"), Variant()}) {
        EXPECT_THROW(dm->CarregaResultados(bad), qel::ServerError);
    }
}

}  // namespace
}  // namespace qel::testing
