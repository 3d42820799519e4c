#include <gtest/gtest.h>

#include "core/error.h"
#include "station_fixture.h"

using qel::Dataset;
using qel::FieldType;
using qel::Variant;
using qel::VariantArray;

namespace {

class ResultLoading : public qel::testing::StationFixture {
  protected:
    static Variant packet(std::vector<qel::FieldDef> fields) {
        return Variant(
            std::shared_ptr<const Dataset>(std::make_shared<Dataset>(std::move(fields))));
    }
    // A well-formed answer: 22 packets, the two declared ones with their fields.
    static VariantArray answer() {
        VariantArray a(22, packet({{"IDSITUACAO", FieldType::String, 3, 0}}));
        a[14] = packet({{"CDCLIENTE", FieldType::String, 21, 0},
                        {"CDCONSUMIDOR", FieldType::String, 21, 0},
                        {"CDCAMPANHA", FieldType::String, 10, 0},
                        {"NRSEQPRODCAMP", FieldType::String, 10, 0},
                        {"NRSEQBENEFICIO", FieldType::String, 10, 0},
                        {"IDSITUACAO", FieldType::String, 3, 0},
                        {"QTDEBENEFICIO", FieldType::Float, 0, 0}});
        a[16] = packet({{"CDFILIAL", FieldType::String, 4, 0},
                        {"CDCAIXA", FieldType::String, 3, 0},
                        {"DTTOTAL", FieldType::Date, 0, 0},
                        {"IDSITUACAO", FieldType::String, 3, 0}});
        return a;
    }
};

TEST_F(ResultLoading, AWellFormedAnswerFillsTheResultDatasetsInOrder) {
    VariantArray a = answer();
    a[3] =
        packet({{"CDOPERADOR", FieldType::String, 12, 0}, {"IDSITUACAO", FieldType::String, 3, 0}});
    dm->CarregaResultados(Variant(a));
    EXPECT_EQ(dm->results.cdsRetLogAcesso.fields().size(), 2u);
    EXPECT_EQ(dm->results.cdsRetTotalDiaCaixa.fields()[2].type, FieldType::Date);
}

TEST_F(ResultLoading, AnswersOfTheWrongShapeAreRefused) {
    VariantArray shortAnswer = answer();
    shortAnswer.pop_back();
    VariantArray notAPacket = answer();
    notAPacket[5] = Variant("OK");
    VariantArray wrongDeclared = answer();
    wrongDeclared[16] = packet({{"CDFILIAL", FieldType::String, 4, 0},
                                {"CDCAIXA", FieldType::String, 3, 0},
                                {"DTTOTAL", FieldType::String, 10, 0},
                                {"IDSITUACAO", FieldType::String, 3, 0}});
    VariantArray missingDeclared = answer();
    missingDeclared[14] = packet({{"IDSITUACAO", FieldType::String, 3, 0}});
    // One character short of its declared size, and one field renamed.
    VariantArray narrowDeclared = answer();
    narrowDeclared[14] = packet({{"CDCLIENTE", FieldType::String, 20, 0},
                                 {"CDCONSUMIDOR", FieldType::String, 21, 0},
                                 {"CDCAMPANHA", FieldType::String, 10, 0},
                                 {"NRSEQPRODCAMP", FieldType::String, 10, 0},
                                 {"NRSEQBENEFICIO", FieldType::String, 10, 0},
                                 {"IDSITUACAO", FieldType::String, 3, 0},
                                 {"QTDEBENEFICIO", FieldType::Float, 0, 0}});
    VariantArray renamedDeclared = answer();
    renamedDeclared[16] = packet({{"CDFILIAL", FieldType::String, 4, 0},
                                  {"CDCAIXA", FieldType::String, 3, 0},
                                  {"DTMOVIM", FieldType::Date, 0, 0},
                                  {"IDSITUACAO", FieldType::String, 3, 0}});
    for (const Variant& bad : {Variant(shortAnswer), Variant(notAPacket), Variant(wrongDeclared),
                               Variant(missingDeclared), Variant(narrowDeclared),
                               Variant(renamedDeclared), Variant("OK"), Variant()}) {
        EXPECT_THROW(dm->CarregaResultados(bad), qel::ServerError);
    }
}

}  // namespace
