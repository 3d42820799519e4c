#include <gtest/gtest.h>

#include "station_fixture.h"

using qel::Variant;

namespace {

class FirstExport : public qel::testing::StationFixture {
  protected:
    void SetUp() override {
        StationFixture::SetUp();
        sql("INSERT INTO CAIXA (CDFILIAL, CDCAIXA, CDLOJA, IDPRIMVEZEXPON) VALUES ('0001', '001', "
            "'01', 'S')");
        // A shift imported whole, with a sale and a cash movement, and a shift still open.
        sql("INSERT INTO TURCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, IDATUTURCAIXA, IDIMPTCAIXA) "
            "VALUES"
            " ('0001', '001', '2026-12-01 08:00:00.000', 'I', 'S'),"
            " ('0001', '001', '2026-12-06 08:00:00.000', 'I', 'N')");
        sql("INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, DTABERTUR, DTENTRVENDA, IDIMPVENDA) "
            "VALUES"
            " ('0001', '001', '0000000001', '2026-12-01 08:00:00.000', '2026-12-01 00:00:00.000', "
            "'I'),"
            " ('0001', '001', '0000000002', '2026-12-06 08:00:00.000', '2026-12-06 00:00:00.000', "
            "'I')");
        sql("INSERT INTO MOVCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, NRSEQUMOVI, IDIMPMOVCAIXA) VALUES"
            " ('0001', '001', '2026-12-01 08:00:00.000', '000001', 'I'),"
            " ('0001', '001', '2026-12-06 08:00:00.000', '000002', 'I')");
        sql("INSERT INTO PEDIDOQEL (CDFILIAL, NRPEDIDOQEL, IDIMPPEDIDOQEL) VALUES ('0001', "
            "'0000000077', 'N')");
    }
};

TEST_F(FirstExport, MarksWholeShiftsAsExportedAndCopiesPendingNumbers) {
    dm->AtualizaMSDE();
    EXPECT_EQ(scalar("SELECT IDPRIMVEZEXPON FROM CAIXA"), "N");
    EXPECT_EQ(scalar("SELECT IDATUTURCAIXA FROM TURCAIXA WHERE IDIMPTCAIXA = 'S'"), "S");
    EXPECT_EQ(scalar("SELECT IDATUTURCAIXA FROM TURCAIXA WHERE IDIMPTCAIXA = 'N'"), "I");
    EXPECT_EQ(scalar("SELECT IDIMPVENDA FROM VENDA WHERE NRSEQVENDA = '0000000001'"), "S");
    EXPECT_EQ(scalar("SELECT IDIMPVENDA FROM VENDA WHERE NRSEQVENDA = '0000000002'"), "I");
    EXPECT_EQ(scalar("SELECT NRSEQVENDAMSDE FROM VENDA WHERE NRSEQVENDA = '0000000002'"),
              "0000000002");
    EXPECT_EQ(scalar("SELECT IDIMPMOVCAIXA FROM MOVCAIXA WHERE NRSEQUMOVI = '000001'"), "S");
    EXPECT_EQ(scalar("SELECT NRSEQUMOVIMSDE FROM MOVCAIXA WHERE NRSEQUMOVI = '000002'"), "000002");
    EXPECT_EQ(scalar("SELECT NRPEDIDOQELMSDE FROM PEDIDOQEL"), "0000000077");
    EXPECT_TRUE(logLines().empty());  // no "Execute do" lines
}

TEST_F(FirstExport, AFailureAtTheSixthCommandUndoesEverything) {
    sql("CREATE TRIGGER falha BEFORE UPDATE OF NRSEQUMOVIMSDE ON MOVCAIXA"
        " BEGIN SELECT RAISE(ABORT, 'disco cheio'); END");
    dm->AtualizaMSDE();
    EXPECT_EQ(scalar("SELECT IDPRIMVEZEXPON FROM CAIXA"), "S");
    EXPECT_EQ(scalar("SELECT IDIMPVENDA FROM VENDA WHERE NRSEQVENDA = '0000000001'"), "I");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM VENDA WHERE NRSEQVENDAMSDE IS NOT NULL"), "0");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM TURCAIXA WHERE IDATUTURCAIXA = 'S'"), "0");
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("ERRO Except AtualizaMSDE : ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("disco cheio"), std::string::npos);
    EXPECT_FALSE(dm->adcCaixa.inTransaction());
}

}  // namespace
