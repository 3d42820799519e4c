#include <gtest/gtest.h>

#include "../station_fixture.h"
#include "core/error.h"
#include "result_rows.h"

using qel::DateTime;
using qel::testing::textRows;

namespace {

class SaleAcknowledgement : public qel::testing::StationFixture {
  protected:
    void SetUp() override {
        StationFixture::SetUp();
        sql("INSERT INTO PARAVEND (CDFILIAL, IDATUIDMCLI) VALUES ('0001', 'N')");
    }

    // A pending sale as the station holds it now.
    void sale(const std::string& nr, const std::string& situation, const std::string& seller,
              const std::string& emission = "", const std::string& accessKey = "",
              const std::string& status = "") {
        auto orNull = [](const std::string& v) { return v.empty() ? "NULL" : "'" + v + "'"; };
        sql("INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, DTABERTUR, DTENTRVENDA, "
            "IDSITUVENDA, CDVENDEDOR, IDENVIOFID4ALL, IDENVIOFIDUDS, IDTPEMISVEND, NRACESSONFCE, "
            "IDSTATUSNFCE, IDIMPVENDA) VALUES ('0001', '001', '" +
            nr + "', '2026-12-06 08:00:00.000', '2026-12-06 00:00:00.000', '" + situation + "', '" +
            seller + "', 'N', 'N', " + orNull(emission) + ", " + orNull(accessKey) + ", " +
            orNull(status) + ", 'I')");
    }

    // The rows the server returns: sale number, verdict, situation and seller as sent.
    void returned(const std::vector<std::vector<std::string>>& rows) {
        std::vector<std::vector<std::string>> full;
        for (const auto& r : rows)
            full.push_back({"0001", "001", r[0], r[1], r[2], r[3], "N", "N"});
        dm->results.cdsRetVenda =
            textRows({"CDFILIAL", "CDCAIXA", "NRSEQVENDA", "IDSITUACAO", "IDSITUVENDA",
                      "CDVENDEDOR", "IDENVIOFID4ALL", "IDENVIOFIDUDS"},
                     full);
    }

    std::string flag(const std::string& nr) {
        return scalar("SELECT IDIMPVENDA FROM VENDA WHERE NRSEQVENDA = '" + nr + "'");
    }
};

TEST_F(SaleAcknowledgement, TheFlagFollowsTheComparisonAndTheFiscalDocument) {
    sale("0000000001", "F", "V1");                   // unchanged
    sale("0000000002", "F", "V2", "E");              // seller changed, ordinary document
    sale("0000000003", "F", "V2", "N");              // changed, no key, no status
    sale("0000000004", "O", "V2", "S", "", "R");     // changed, pending, situation O
    sale("0000000005", "C", "V2", "S", "", "R");     // changed, pending, situation C
    sale("0000000006", "F", "V2", "S", "3519", "");  // changed, key assigned
    sale("0000000007", "F", "V1");                   // refused by the server
    returned({{"0000000001", "OK", "F", "V1"},
              {"0000000002", "OK", "F", "V1"},
              {"0000000003", "OK", "F", "V1"},
              {"0000000004", "OK", "O", "V1"},
              {"0000000005", "OK", "C", "V1"},
              {"0000000006", "OK", "F", "V1"},
              {"0000000007", "Ok", "F", "V1"}});

    dm->AtualizaMSDEVenda();

    EXPECT_EQ(flag("0000000001"), "S");
    EXPECT_EQ(flag("0000000002"), "A");
    EXPECT_EQ(flag("0000000003"), "S");
    EXPECT_EQ(flag("0000000004"), "S");
    EXPECT_EQ(flag("0000000005"), "A");
    EXPECT_EQ(flag("0000000006"), "A");
    EXPECT_EQ(flag("0000000007"), "I");
    EXPECT_EQ(logLines(), (std::vector<std::string>{
                              "Execute do acmUpdVenda(S) - 0000000001 - F/F",
                              "Execute do acmUpdVenda(A) - 0000000002 - F/F",
                              "Execute do acmUpdVenda(S) - 0000000003 - F/F",
                              "Execute do acmUpdVenda(S) - 0000000004 - O/O",
                              "Execute do acmUpdVenda(A) - 0000000005 - C/C",
                              "Execute do acmUpdVenda(A) - 0000000006 - F/F",
                          }));
}

// Each compared column alone makes the sale changed; the fiscal-document
// columns alone do not.
TEST_F(SaleAcknowledgement, EveryComparedColumnAloneMarksTheSaleChanged) {
    sale("0000000001", "F", "V1");
    sale("0000000002", "F", "V1");
    sale("0000000003", "F", "V1");
    sale("0000000004", "F", "V1");
    sale("0000000005", "F", "V1", "E", "3519", "R");
    sql("UPDATE VENDA SET IDENVIOFIDUDS = 'S' WHERE NRSEQVENDA = '0000000001'");
    sql("UPDATE VENDA SET IDENVIOFID4ALL = 'S' WHERE NRSEQVENDA = '0000000002'");
    // A null column differs from a returned text but equals a returned empty one.
    sql("UPDATE VENDA SET IDENVIOFIDUDS = NULL WHERE NRSEQVENDA IN ('0000000003', '0000000004')");
    returned({{"0000000001", "OK", "F", "V1"},
              {"0000000002", "OK", "F", "V1"},
              {"0000000003", "OK", "F", "V1"},
              {"0000000004", "OK", "F", "V1"},
              {"0000000005", "OK", "F", "V1"}});
    qel::Dataset& ret = dm->results.cdsRetVenda;
    ASSERT_EQ(ret.recordCount(), 5u);
    ret.rows()[3][ret.fieldIndex("IDENVIOFIDUDS")] = qel::Variant("");
    dm->AtualizaMSDEVenda();
    EXPECT_EQ(flag("0000000001"), "A");
    EXPECT_EQ(flag("0000000002"), "A");
    EXPECT_EQ(flag("0000000003"), "A");
    EXPECT_EQ(flag("0000000004"), "S");
    EXPECT_EQ(flag("0000000005"), "S");
}

// A sale deleted at the station after its selection reads as all empty:
// changed, so it is sent again rather than lost.
TEST_F(SaleAcknowledgement, ASaleNoLongerAtTheStationReadsAsChanged) {
    sale("0000000001", "F", "V1");
    returned({{"0000000001", "OK", "F", "V1"}, {"0000000009", "OK", "F", "V1"}});
    dm->AtualizaMSDEVenda();
    EXPECT_EQ(logLines(), (std::vector<std::string>{
                              "Execute do acmUpdVenda(S) - 0000000001 - F/F",
                              "Execute do acmUpdVenda(A) - 0000000009 - /F",
                          }));
}

TEST_F(SaleAcknowledgement, TheExportTimeIsThatOfTheFirstAcknowledgement) {
    sale("0000000001", "F", "V2");
    returned({{"0000000001", "OK", "F", "V1"}});
    dm->AtualizaMSDEVenda();
    clock.set(DateTime::fromDateTime(2026, 12, 6, 11, 30, 0));
    returned({{"0000000001", "OK", "F", "V2"}});
    dm->AtualizaMSDEVenda();
    EXPECT_EQ(scalar("SELECT IDIMPVENDA || ' ' || DTEXPVENDA FROM VENDA"),
              "S 2026-12-06 10:00:00.000");
}

TEST_F(SaleAcknowledgement, TheSaleAcknowledgesItsMovementLoyaltyAndBenefitRows) {
    sale("0000000001", "F", "V1");
    sale("0000000002", "F", "V1");
    sql("INSERT INTO MOVICLIE (CDCLIENTE, NRSEQMOVCLI, IDBXVENDACAT, IDBXMOVICLIE) VALUES "
        "('C1', '0000000010', 'N', 'N'), ('C1', '0000000011', 'N', 'N'), "
        "('C1', '0000000012', 'N', 'N')");
    sql("INSERT INTO ITFIDELIDADE (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQUITVEND, IDIMPTFIDEL) "
        "VALUES ('0001', '001', '0000000001', '001', 'N'), ('0001', '001', '0000000001', '002', "
        "'N')");
    sql("INSERT INTO MOVBENEFICIOCONS (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQBENECONS, IDIMPTMOV) "
        "VALUES ('0001', '001', '0000000001', '1', 'I')");
    // Copies as the selections left them; sale 2 has only a movement.
    dm->copies.cdsCliMoviClie =
        textRows({"CDCLIENTE", "NRSEQMOVCLI", "CDFILIAL", "CDCAIXA", "NRSEQVENDA"},
                 {{"C1", "0000000010", "0001", "001", "0000000001"},
                  {"C1", "0000000011", "0001", "001", "0000000001"},
                  {"C1", "0000000012", "0001", "001", "0000000002"}});
    dm->copies.cdsCliItFidelidade = textRows({"CDFILIAL", "CDCAIXA", "NRSEQVENDA", "NRSEQUITVEND"},
                                             {{"0001", "001", "0000000001", "001"}});
    dm->copies.cdsCliMovBeneficioCons =
        textRows({"CDFILIAL", "CDCAIXA", "NRSEQVENDA", "NRSEQBENECONS"},
                 {{"0001", "001", "0000000001", "1"}});

    returned({{"0000000001", "OK", "F", "V1"}});
    dm->AtualizaMSDEVenda();
    // Any other store setting than "N" writes "N".
    sql("UPDATE PARAVEND SET IDATUIDMCLI = 'S'");
    returned({{"0000000002", "OK", "F", "V1"}});
    dm->AtualizaMSDEVenda();

    EXPECT_EQ(scalar("SELECT GROUP_CONCAT(IDBXVENDACAT || IDBXMOVICLIE, ' ') FROM (SELECT * "
                     "FROM MOVICLIE ORDER BY NRSEQMOVCLI)"),
              "SS NN SN");
    EXPECT_EQ(scalar("SELECT GROUP_CONCAT(IDIMPTFIDEL, '') FROM ITFIDELIDADE"), "SS");
    EXPECT_EQ(scalar("SELECT IDIMPTMOV FROM MOVBENEFICIOCONS"), "N");
    EXPECT_EQ(logLines(), (std::vector<std::string>{
                              "Execute do acmUpdVenda(S) - 0000000001 - F/F",
                              "Execute do acmUpdMoviClie",
                              "Execute do acmUpdItFidelidade",
                              "Execute do acmUpdMovBeneficioCons",
                              "Execute do acmUpdVenda(S) - 0000000002 - F/F",
                              "Execute do acmUpdMoviClie",
                          }));
}

// The agent may stop right after the sales' transaction: the movements and
// NFC-e logs the server stored are flagged in it already, since no later
// transfer would select them again. A refused row stays waiting, and a
// dependant table that cannot be flagged does not hold back the sales.
TEST_F(SaleAcknowledgement, StoredMovementsAndNfceLogsAreFlaggedWithTheirSales) {
    sale("0000000001", "F", "V1");
    sql("INSERT INTO MOVCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, NRSEQUMOVI, NRSEQVENDA, "
        "IDIMPMOVCAIXA) VALUES ('0001', '001', '2026-12-06 08:00:00.000', '000001', "
        "'0000000001', 'I'), ('0001', '001', '2026-12-06 08:00:00.000', '000002', '0000000001', "
        "'I')");
    sql("INSERT INTO LOGNFCE (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQLOGNFCE, IDIMPLOGNFCE) VALUES "
        "('0001', '001', '0000000001', '1', 'N')");
    sql("INSERT INTO EXTRATOCONS (CDCLIENTE, CDCONSUMIDOR, CDFAMILISALD, DTMOVEXTCONS, "
        "NRSEQMOVEXT, IDIMPEXTRATO) VALUES ('C1', 'K1', 'F1', '2026-12-06 08:01:00.000', '1', "
        "'N')");
    dm->results.cdsRetMovCaixa =
        textRows({"CDFILIAL", "CDCAIXA", "DTABERCAIX", "NRSEQUMOVI", "IDSITUACAO"},
                 {{"0001", "001", "2026-12-06 08:00:00", "000001", "OK"},
                  {"0001", "001", "2026-12-06 08:00:00", "000002", "ERRO"}});
    dm->results.cdsRetLogNfce =
        textRows({"CDFILIAL", "CDCAIXA", "NRSEQVENDA", "NRSEQLOGNFCE", "IDSITUACAO"},
                 {{"0001", "001", "0000000001", "1", "OK"}});
    dm->results.cdsRetExtratoCons = textRows({"CDCLIENTE", "IDSITUACAO"}, {{"C1", "OK"}});
    returned({{"0000000001", "OK", "F", "V1"}});

    dm->AtualizaMSDEVenda();

    EXPECT_EQ(flag("0000000001"), "S");
    EXPECT_EQ(scalar("SELECT GROUP_CONCAT(IDIMPMOVCAIXA, '') FROM (SELECT * FROM MOVCAIXA ORDER "
                     "BY NRSEQUMOVI)"),
              "SI");
    EXPECT_EQ(scalar("SELECT IDIMPLOGNFCE FROM LOGNFCE"), "S");
    EXPECT_EQ(scalar("SELECT IDIMPEXTRATO FROM EXTRATOCONS"), "N");
    EXPECT_EQ(logLines(), std::vector<std::string>{"Execute do acmUpdVenda(S) - 0000000001 - F/F"});
}

// A cash movement flagged with its sale is not updated again by its own
// routine, which still logs it; when the sales' transaction is undone, the
// own routine flags it.
TEST_F(SaleAcknowledgement, MovementsFlaggedWithTheirSalesAreUpdatedOnce) {
    sql("CREATE TABLE updates (n INTEGER)");
    sql("CREATE TRIGGER counted AFTER UPDATE ON MOVCAIXA BEGIN INSERT INTO updates VALUES (1); "
        "END");
    const auto movement = [this](const std::string& sale, const std::string& nr) {
        sql("INSERT INTO MOVCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, NRSEQUMOVI, NRSEQVENDA, "
            "IDIMPMOVCAIXA) VALUES ('0001', '001', '2026-12-06 08:00:00.000', '" +
            nr + "', '" + sale + "', 'I')");
    };
    for (int round = 0; round < 2; ++round) {
        const bool saleFails = round == 1;
        const std::string nr = saleFails ? "0000000002" : "0000000001";
        const std::string movementNr = saleFails ? "000002" : "000001";
        sql("DELETE FROM updates");
        sale(nr, "F", "V1");
        movement(nr, movementNr);
        if (saleFails) {
            sql("CREATE TRIGGER falha BEFORE UPDATE ON VENDA BEGIN SELECT RAISE(ABORT, 'falha'); "
                "END");
        }
        dm->results.cdsRetMovCaixa =
            textRows({"CDFILIAL", "CDCAIXA", "DTABERCAIX", "NRSEQUMOVI", "IDSITUACAO"},
                     {{"0001", "001", "2026-12-06 08:00:00", movementNr, "OK"}});
        returned({{nr, "OK", "F", "V1"}});
        const std::size_t linesBefore = logLines().size();

        dm->AtualizaMSDEVenda();
        dm->AtualizaMSDEMovCaixa();

        EXPECT_EQ(
            scalar("SELECT IDIMPMOVCAIXA FROM MOVCAIXA WHERE NRSEQUMOVI = '" + movementNr + "'"),
            "S")
            << round;
        EXPECT_EQ(scalar("SELECT COUNT(*) FROM updates"), "1") << round;
        EXPECT_EQ(logLines().back(), "Execute do acmUpdMovCaixa") << round;
        EXPECT_EQ(logLines().size(), linesBefore + 2) << round;  // the sale's line, or its error
    }
}

// The commands run once for all sales must leave the rows and lines the
// commands run sale by sale leave (forced here by failing the sales' list
// form, which the routine undoes and runs again sale by sale): every rule of
// the flag, the export time kept or set, and the copies.
TEST_F(SaleAcknowledgement, AllSalesAtOnceLeaveTheRowsAndLinesOfSaleBySale) {
    const auto seed = [this] {
        for (const char* table : {"VENDA", "MOVICLIE", "ITFIDELIDADE", "MOVBENEFICIOCONS",
                                  "MOVCAIXA", "LOGNFCE", "EXTRATOCONS"}) {
            sql(std::string("DELETE FROM ") + table);
        }
        sale("0000000001", "F", "V1");
        sale("0000000002", "F", "V2", "E");
        sale("0000000003", "F", "V2", "N");
        sale("0000000004", "O", "V2", "S", "", "R");
        sale("0000000005", "C", "V2", "S", "", "R");
        sale("0000000006", "F", "V2", "S", "3519", "");
        sale("0000000007", "F", "V1");
        sql("UPDATE VENDA SET DTEXPVENDA = '2026-12-01 07:00:00.000' WHERE NRSEQVENDA = "
            "'0000000006'");
        sql("INSERT INTO MOVICLIE (CDCLIENTE, NRSEQMOVCLI, IDBXVENDACAT, IDBXMOVICLIE) VALUES "
            "('C1', '0000000010', 'N', 'N'), ('C1', '0000000011', 'N', 'N'), ('C2', "
            "'0000000012', 'N', 'N'), ('C2', '0000000013', 'N', 'N')");
        sql("INSERT INTO ITFIDELIDADE (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQUITVEND, IDIMPTFIDEL) "
            "VALUES ('0001', '001', '0000000001', '001', 'N'), ('0001', '001', '0000000001', "
            "'002', 'N'), ('0001', '001', '0000000005', '001', 'N'), ('0001', '001', "
            "'0000000007', '001', 'N')");
        sql("INSERT INTO MOVBENEFICIOCONS (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQBENECONS, "
            "IDIMPTMOV) VALUES ('0001', '001', '0000000002', '1', 'I'), ('0001', '001', "
            "'0000000007', '1', 'I')");
        sql("INSERT INTO MOVCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, NRSEQUMOVI, NRSEQVENDA, "
            "IDIMPMOVCAIXA) VALUES ('0001', '001', '2026-12-06 08:00:00.000', '000001', "
            "'0000000001', 'I'), ('0001', '001', '2026-12-06 08:00:00.000', '000002', "
            "'0000000002', 'I'), ('0001', '001', '2026-12-05 08:00:00.000', '000001', "
            "'0000000003', 'I')");
        sql("INSERT INTO LOGNFCE (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQLOGNFCE, IDIMPLOGNFCE) "
            "VALUES ('0001', '001', '0000000001', '1', 'N'), ('0001', '001', '0000000003', '1', "
            "'N')");
        dm->copies.cdsCliMoviClie =
            textRows({"CDCLIENTE", "NRSEQMOVCLI", "CDFILIAL", "CDCAIXA", "NRSEQVENDA"},
                     {{"C1", "0000000010", "0001", "001", "0000000001"},
                      {"C1", "0000000011", "0001", "001", "0000000001"},
                      {"C2", "0000000012", "0001", "001", "0000000004"},
                      {"C2", "0000000013", "0001", "001", "0000000007"}});
        dm->copies.cdsCliItFidelidade =
            textRows({"CDFILIAL", "CDCAIXA", "NRSEQVENDA"}, {{"0001", "001", "0000000001"},
                                                             {"0001", "001", "0000000005"},
                                                             {"0001", "001", "0000000007"}});
        dm->copies.cdsCliMovBeneficioCons =
            textRows({"CDFILIAL", "CDCAIXA", "NRSEQVENDA"},
                     {{"0001", "001", "0000000002"}, {"0001", "001", "0000000007"}});
        dm->results.cdsRetMovCaixa =
            textRows({"CDFILIAL", "CDCAIXA", "DTABERCAIX", "NRSEQUMOVI", "IDSITUACAO"},
                     {{"0001", "001", "2026-12-06 08:00:00", "000001", "OK"},
                      {"0001", "001", "2026-12-06 08:00:00", "000002", "ERRO"},
                      {"0001", "001", "2026-12-05 08:00:00", "000001", "OK"}});
        dm->results.cdsRetLogNfce = textRows(
            {"CDFILIAL", "CDCAIXA", "NRSEQVENDA", "NRSEQLOGNFCE", "IDSITUACAO"},
            {{"0001", "001", "0000000001", "1", "OK"}, {"0001", "001", "0000000003", "1", "OK"}});
        returned({{"0000000001", "OK", "F", "V1"},
                  {"0000000002", "OK", "F", "V1"},
                  {"0000000003", "OK", "F", "V1"},
                  {"0000000004", "OK", "O", "V1"},
                  {"0000000005", "OK", "C", "V1"},
                  {"0000000006", "OK", "F", "V1"},
                  {"0000000007", "Ok", "F", "V1"},
                  {"0000000009", "OK", "F", "V1"}});
    };
    const auto tables = [this] {
        std::vector<qel::Dataset> out;
        for (const char* table : {"VENDA", "MOVICLIE", "ITFIDELIDADE", "MOVBENEFICIOCONS",
                                  "MOVCAIXA", "LOGNFCE", "EXTRATOCONS"}) {
            out.push_back(select(std::string("SELECT * FROM ") + table + " ORDER BY 1, 2, 3, 4"));
        }
        return out;
    };
    int saleUpdates = 0;
    bool failLists = true;
    dm->adcCaixa.setBeforeStatement([&](std::string_view text) {
        if (text.find("UPDATE VENDA") != std::string_view::npos) ++saleUpdates;
        if (failLists && text.find("UPDATE VENDA") != std::string_view::npos &&
            text.find("json_each") != std::string_view::npos) {
            throw qel::DatabaseError("no list today");
        }
    });

    seed();
    dm->AtualizaMSDEVenda();
    const auto bySale = tables();
    const auto bySaleLines = logLines();
    EXPECT_EQ(saleUpdates, 1 + 2 * 7);   // the failed list, then two per stored sale
    EXPECT_EQ(bySaleLines.size(), 12u);  // 7 sales, 2 movements, 2 loyalty, 1 benefit

    seed();
    failLists = false;
    saleUpdates = 0;
    dm->AtualizaMSDEVenda();
    EXPECT_EQ(saleUpdates, 2);  // sales flagged "S" and "A", each with its export time
    const auto together = tables();
    for (std::size_t t = 0; t < bySale.size(); ++t) EXPECT_EQ(together[t], bySale[t]) << t;
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 2 * bySaleLines.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 12, lines.end()), bySaleLines);
}

TEST_F(SaleAcknowledgement, AFailureInASaleStepUndoesEverySaleOfTheTransfer) {
    sale("0000000001", "F", "V1");
    sale("0000000002", "F", "V1");
    sql("INSERT INTO ITFIDELIDADE (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQUITVEND, IDIMPTFIDEL) "
        "VALUES ('0001', '001', '0000000002', '001', 'N')");
    sql("CREATE TRIGGER falha BEFORE UPDATE ON ITFIDELIDADE BEGIN SELECT RAISE(ABORT, 'falha'); "
        "END");
    dm->copies.cdsCliItFidelidade =
        textRows({"CDFILIAL", "CDCAIXA", "NRSEQVENDA"}, {{"0001", "001", "0000000002"}});
    returned({{"0000000001", "OK", "F", "V1"}, {"0000000002", "OK", "F", "V1"}});
    dm->AtualizaMSDEVenda();
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA = 'I' AND DTEXPVENDA IS NULL"),
              "2");
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].rfind("ERRO Except AtualizaMSDEVenda: ", 0), 0u) << lines[2];
}

// The lookups into the copies serve one acknowledgement only: a movement
// flagged later reads the copy as it is then, not as the last one found it.
TEST_F(SaleAcknowledgement, AMovementFlaggedAfterTheRoutineIsLookedUpInTheCopyAsItIsNow) {
    sale("0000000001", "F", "V1");
    sale("0000000002", "F", "V1");
    sql("INSERT INTO MOVICLIE (CDCLIENTE, NRSEQMOVCLI, IDBXVENDACAT, IDBXMOVICLIE) VALUES "
        "('C1', '0000000010', 'N', 'N'), ('C1', '0000000011', 'N', 'N'), "
        "('C1', '0000000012', 'N', 'N')");
    dm->copies.cdsCliMoviClie =
        textRows({"CDCLIENTE", "NRSEQMOVCLI", "CDFILIAL", "CDCAIXA", "NRSEQVENDA"},
                 {{"C1", "0000000010", "0001", "001", "0000000001"},
                  {"C1", "0000000011", "0001", "001", "0000000002"}});
    returned({{"0000000001", "OK", "F", "V1"}});
    dm->AtualizaMSDEVenda();

    // The next transfer's copy holds sale 2 with another movement, first.
    dm->copies.cdsCliMoviClie =
        textRows({"CDCLIENTE", "NRSEQMOVCLI", "CDFILIAL", "CDCAIXA", "NRSEQVENDA"},
                 {{"C1", "0000000012", "0001", "001", "0000000002"}});
    returned({{"0000000002", "OK", "F", "V1"}});
    dm->AtualizaMSDEMoviClie("N");
    EXPECT_EQ(scalar("SELECT GROUP_CONCAT(IDBXVENDACAT, '') FROM (SELECT * FROM MOVICLIE "
                     "ORDER BY NRSEQMOVCLI)"),
              "SNS");
}

}  // namespace
