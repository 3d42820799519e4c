#include <gtest/gtest.h>

#include "../station_fixture.h"

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
            "'0000000077', 'N'), ('0001', '0000000078', 'S')");
        // Extract rows of the imported shift, of the open one and of another
        // station's imported shift at the same time.
        sql("INSERT INTO EXTRATOCONS (CDCLIENTE, CDCONSUMIDOR, CDFAMILISALD, DTMOVEXTCONS, "
            "NRSEQMOVEXT, CDFILIAL, CDCAIXA, DTABERCAIX, IDIMPEXTRATO) VALUES"
            " ('C1', 'K1', '0001', '2026-12-01 09:00:00.000', '0000000001', '0001', '001', "
            "'2026-12-01 08:00:00.000', 'N'),"
            " ('C1', 'K1', '0001', '2026-12-06 09:00:00.000', '0000000002', '0001', '001', "
            "'2026-12-06 08:00:00.000', 'N'),"
            " ('C1', 'K1', '0001', '2026-12-01 09:00:00.000', '0000000003', '0001', '002', "
            "'2026-12-01 08:00:00.000', 'N')");
        // Another station of the store, its first shift imported whole too.
        sql("INSERT INTO CAIXA (CDFILIAL, CDCAIXA, CDLOJA, IDPRIMVEZEXPON) VALUES ('0001', '002', "
            "'01', 'S')");
        sql("INSERT INTO TURCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, IDATUTURCAIXA, IDIMPTCAIXA) "
            "VALUES ('0001', '002', '2026-12-01 08:00:00.000', 'I', 'S')");
        sql("INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, DTABERTUR, DTENTRVENDA, IDIMPVENDA) "
            "VALUES ('0001', '002', '0000000001', '2026-12-01 08:00:00.000', "
            "'2026-12-01 00:00:00.000', 'I')");
        // A pending sale whose number was already copied keeps its copy.
        sql("INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, DTABERTUR, DTENTRVENDA, IDIMPVENDA, "
            "NRSEQVENDAMSDE) VALUES ('0001', '001', '0000000003', '2026-12-06 08:00:00.000', "
            "'2026-12-06 00:00:00.000', 'A', '0000000099')");
    }
};

TEST_F(FirstExport, MarksWholeShiftsAsExportedAndCopiesPendingNumbers) {
    dm->AtualizaMSDE();
    EXPECT_EQ(scalar("SELECT GROUP_CONCAT(CDCAIXA || IDPRIMVEZEXPON, ' ') FROM (SELECT * FROM "
                     "CAIXA ORDER BY CDCAIXA)"),
              "001N 002S");
    EXPECT_EQ(scalar("SELECT GROUP_CONCAT(CDCAIXA || IDIMPTCAIXA || IDATUTURCAIXA, ' ') FROM "
                     "(SELECT * FROM TURCAIXA ORDER BY CDCAIXA, DTABERCAIX)"),
              "001SS 001NI 002SI");
    EXPECT_EQ(scalar("SELECT GROUP_CONCAT(CDCAIXA || NRSEQVENDA || IDIMPVENDA || "
                     "COALESCE(NRSEQVENDAMSDE, '-'), ' ') FROM (SELECT * FROM VENDA ORDER BY "
                     "CDCAIXA, NRSEQVENDA)"),
              "0010000000001S- 0010000000002I0000000002 0010000000003A0000000099 "
              "0020000000001I-");
    EXPECT_EQ(scalar("SELECT GROUP_CONCAT(NRSEQMOVEXT || IDIMPEXTRATO, ' ') FROM (SELECT * FROM "
                     "EXTRATOCONS ORDER BY NRSEQMOVEXT)"),
              "0000000001S 0000000002N 0000000003N");
    EXPECT_EQ(scalar("SELECT GROUP_CONCAT(NRSEQUMOVI || IDIMPMOVCAIXA || "
                     "COALESCE(NRSEQUMOVIMSDE, '-'), ' ') FROM (SELECT * FROM MOVCAIXA ORDER BY "
                     "NRSEQUMOVI)"),
              "000001S- 000002I000002");
    EXPECT_EQ(scalar("SELECT GROUP_CONCAT(NRPEDIDOQEL || COALESCE(NRPEDIDOQELMSDE, '-'), ' ') "
                     "FROM (SELECT * FROM PEDIDOQEL ORDER BY NRPEDIDOQEL)"),
              "00000000770000000077 0000000078-");
    EXPECT_TRUE(logLines().empty());  // no "Execute do" lines
}

TEST_F(FirstExport, AFailureAtTheSixthCommandUndoesEverything) {
    sql("CREATE TRIGGER falha BEFORE UPDATE OF NRSEQUMOVIMSDE ON MOVCAIXA"
        " BEGIN SELECT RAISE(ABORT, 'disco cheio'); END");
    dm->AtualizaMSDE();
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM CAIXA WHERE IDPRIMVEZEXPON = 'N'"), "0");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA = 'S'"), "0");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM EXTRATOCONS WHERE IDIMPEXTRATO = 'S'"), "0");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM VENDA WHERE NRSEQVENDAMSDE = NRSEQVENDA"), "0");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM TURCAIXA WHERE IDATUTURCAIXA = 'S'"), "0");
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("ERRO Except AtualizaMSDE : ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("disco cheio"), std::string::npos);
    EXPECT_FALSE(dm->adcCaixa.inTransaction());
}

}  // namespace
