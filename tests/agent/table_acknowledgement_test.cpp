#include <gtest/gtest.h>

#include <memory>

#include "../station_fixture.h"
#include "result_rows.h"

using qel::Dataset;
using qel::DateTime;
using qel::FieldType;
using qel::Variant;
using qel::testing::textRows;

namespace {

class TableAcknowledgement : public qel::testing::StationFixture {
  protected:
    // Reads the central database the way the test sees it, outside the agent.
    std::string centralScalar(std::string_view statement) {
        qel::db::Connection central(
            clock, "Provider=SQLite;Initial Catalog=CENTRAL;Data Source=" + dir.string());
        Dataset d = central.query(statement);
        return d.isEmpty() ? "<none>" : d.field(std::size_t{0}).asString();
    }

    // Puts the rows `select` reads as element `element` of this transfer's
    // packets, as if the selection had sent them.
    void sendAsPacket(std::size_t element, const std::string& select) {
        if (!dm->PacotesExportacao.isArray()) dm->PacotesExportacao = Variant::array(47);
        const Dataset sent = dm->adcCaixa.query(select);
        dm->PacotesExportacao.asArray()[element] = Variant(std::make_shared<const Dataset>(sent));
    }
};

TEST_F(TableAcknowledgement, OnlyExactOkRowsAreFlaggedAndEachExecutionIsLogged) {
    sql("INSERT INTO OPERADOR (CDOPERADOR, IDATUOPERADOR) VALUES ('A', 'I'), ('B', 'I'), "
        "('C', 'A')");
    dm->results.cdsRetOperador = textRows({"CDOPERADOR", "IDSITUACAO"},
                                          {{"A", "OK"}, {"B", "ok"}, {"C", " OK"}, {"GONE", "OK"}});
    dm->AtualizaMSDEOperador();
    EXPECT_EQ(scalar("SELECT GROUP_CONCAT(IDATUOPERADOR, '') FROM (SELECT IDATUOPERADOR FROM "
                     "OPERADOR ORDER BY CDOPERADOR)"),
              "SIA");
    // The row matching nothing locally still gets its line.
    EXPECT_EQ(logLines(),
              (std::vector<std::string>{"Execute do acmUpdOperador", "Execute do acmUpdOperador"}));
    EXPECT_FALSE(dm->adcCaixa.inTransaction());
}

TEST_F(TableAcknowledgement, AnErrorUndoesTheTableAndTheNextTableStillRuns) {
    Dataset moves({{"CDFILIAL", FieldType::String, 4},
                   {"CDCAIXA", FieldType::String, 3},
                   {"DTABERCAIX", FieldType::DateTime},
                   {"NRSEQUMOVI", FieldType::String, 6},
                   {"IDSITUACAO", FieldType::String, 3}});
    const DateTime shift = DateTime::fromDateTime(2026, 12, 6, 8, 0, 0);
    for (int i = 1; i <= 5; ++i) {
        const std::string n = "00000" + std::to_string(i);
        sql("INSERT INTO MOVCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, NRSEQUMOVI, IDIMPMOVCAIXA) "
            "VALUES ('0001', '001', '2026-12-06 08:00:00.000', '" +
            n + "', 'I')");
        moves.append({Variant("0001"), Variant("001"), Variant(shift), Variant(n), Variant("OK")});
    }
    sql("CREATE TRIGGER falha BEFORE UPDATE ON MOVCAIXA WHEN NEW.NRSEQUMOVI = '000005'"
        " BEGIN SELECT RAISE(ABORT, 'falha'); END");
    sql("INSERT INTO ESTORNOVND (CDFILIAL, CDCAIXA, NRSEQVENDA, IDIMPESTVND) VALUES "
        "('0001', '001', '0000000009', 'I')");
    dm->results.cdsRetMovCaixa = moves;
    dm->results.cdsRetEstornoVnd = textRows({"CDFILIAL", "CDCAIXA", "NRSEQVENDA", "IDSITUACAO"},
                                            {{"0001", "001", "0000000009", "OK"}});

    dm->AtualizaMSDEResultados();

    EXPECT_EQ(scalar("SELECT COUNT(*) FROM MOVCAIXA WHERE IDIMPMOVCAIXA = 'I'"), "5");
    EXPECT_EQ(scalar("SELECT IDIMPESTVND FROM ESTORNOVND"), "S");
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 6u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(lines[i], "Execute do acmUpdMovCaixa");
    EXPECT_EQ(lines[4].rfind("ERRO Except AtualizaMSDEMovCaixa: ", 0), 0u) << lines[4];
    EXPECT_NE(lines[4].find("falha"), std::string::npos);
    EXPECT_EQ(lines[5], "Execute do acmUpdEstornoVnd");
}

TEST_F(TableAcknowledgement, APacketWithoutAKeyFieldFailsOnlyItsRoutine) {
    sql("INSERT INTO OPERADOR (CDOPERADOR, IDATUOPERADOR) VALUES ('A', 'I')");
    sql("INSERT INTO ENDECONS (CDCLIENTE, CDCONSUMIDOR, CDENDECONS, IDATUENDECONS) VALUES "
        "('C1', 'K1', '1', 'I')");
    dm->results.cdsRetOperador = textRows({"CODIGO", "IDSITUACAO"}, {{"A", "OK"}});
    dm->results.cdsRetEndeCons = textRows({"CDCONSUMIDOR", "CDCLIENTE", "CDENDECONS", "IDSITUACAO"},
                                          {{"K1", "C1", "1", "OK"}});
    dm->AtualizaMSDEResultados();
    EXPECT_EQ(scalar("SELECT IDATUOPERADOR FROM OPERADOR"), "I");
    EXPECT_EQ(scalar("SELECT IDATUENDECONS FROM ENDECONS"), "S");
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("ERRO Except AtualizaMSDEOperador: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("CDOPERADOR"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "Execute do acmUpdEndeCons");
}

TEST_F(TableAcknowledgement, FloatDateAndTextTimeKeysMatchOnlyTheirOwnForm) {
    sql("INSERT INTO MOVBENEFICIOCTR (CDCLIENTE, CDCONSUMIDOR, CDCAMPANHA, NRSEQPRODCAMP, "
        "NRSEQBENEFICIO, QTDEBENEFICIO, IDIMPTMOVCTR) VALUES ('C1', 'K1', 'CP', '1', '1', 2.5, "
        "'I'), ('C1', 'K1', 'CP', '1', '2', 3, 'I')");
    Dataset benefits({{"CDCLIENTE", FieldType::String, 21},
                      {"CDCONSUMIDOR", FieldType::String, 21},
                      {"CDCAMPANHA", FieldType::String, 10},
                      {"NRSEQPRODCAMP", FieldType::String, 10},
                      {"NRSEQBENEFICIO", FieldType::String, 10},
                      {"IDSITUACAO", FieldType::String, 3},
                      {"QTDEBENEFICIO", FieldType::Float}});
    benefits.append({Variant("C1"), Variant("K1"), Variant("CP"), Variant("1"), Variant("1"),
                     Variant("OK"), Variant(2.5)});
    benefits.append({Variant("C1"), Variant("K1"), Variant("CP"), Variant("1"), Variant("2"),
                     Variant("OK"), Variant(3.5)});  // quantity changed since: no match
    dm->results.cdsRetMovBeneCtr = benefits;

    sql("INSERT INTO TOTALDIACAIXA (CDFILIAL, CDCAIXA, DTTOTAL, IDIMPTOTDIACAIXA) VALUES "
        "('0001', '001', '2026-12-05 00:00:00.000', 'I')");
    Dataset totals({{"CDFILIAL", FieldType::String, 4},
                    {"CDCAIXA", FieldType::String, 3},
                    {"DTTOTAL", FieldType::Date},
                    {"IDSITUACAO", FieldType::String, 3}});
    // A time of day in the packet is dropped: the day alone is the key.
    totals.append({Variant("0001"), Variant("001"),
                   Variant(DateTime::fromDateTime(2026, 12, 5, 13, 30, 0)), Variant("OK")});
    dm->results.cdsRetTotalDiaCaixa = totals;

    sql("INSERT INTO CMD_LOG (CDFILIAL, NRVENDAREST, NRCOMANDA, DTHRREGISTRO, IDEXPREGISTRO) "
        "VALUES ('0001', 'V1', 'C1', '2026-12-05 14:03:09.000', 'N'), "
        "('0001', 'V1', 'C2', '2026-12-05 14:03:09.000', 'N')");
    sendAsPacket(44, "SELECT CDFILIAL, NRVENDAREST, NRCOMANDA, DTHRREGISTRO FROM CMD_LOG");
    dm->results.cdsRetCmdLog =
        textRows({"CDFILIAL", "NRVENDAREST", "NRCOMANDA", "DTHRREGISTRO", "IDSITUACAO"},
                 {{"0001", "V1", "C1", "05/12/2026 14:03:09", "OK"},
                  {"0001", "V1", "C2", "05/12/26 14:03:09", "OK"}});

    dm->AtualizaMSDEResultados();

    EXPECT_EQ(scalar("SELECT GROUP_CONCAT(IDIMPTMOVCTR, '') FROM (SELECT IDIMPTMOVCTR FROM "
                     "MOVBENEFICIOCTR ORDER BY NRSEQBENEFICIO)"),
              "NI");
    EXPECT_EQ(scalar("SELECT IDIMPTOTDIACAIXA FROM TOTALDIACAIXA"), "S");
    EXPECT_EQ(scalar("SELECT GROUP_CONCAT(IDEXPREGISTRO, '') FROM (SELECT IDEXPREGISTRO FROM "
                     "CMD_LOG ORDER BY NRCOMANDA)"),
              "SN");
    for (const auto& line : logLines()) EXPECT_EQ(line.find("ERRO"), std::string::npos) << line;
}

TEST_F(TableAcknowledgement, ConsumersFlagTheCentralPasswordOutsideTheLocalTransaction) {
    qel::testing::runSql(dir / "CENTRAL.db",
                         "INSERT INTO SENHACONS (CDCLIENTE, CDCONSUMIDOR, IDATUCONSUMI) VALUES "
                         "('C1', 'K1', 'I'), ('C1', 'K2', 'I')");
    sql("INSERT INTO CONSUMIDOR (CDCLIENTE, CDCONSUMIDOR, IDATUCONSUMI) VALUES "
        "('C1', 'K1', 'I'), ('C1', 'K2', 'I')");
    sql("CREATE TRIGGER falha BEFORE UPDATE ON CONSUMIDOR WHEN NEW.CDCONSUMIDOR = 'K2'"
        " BEGIN SELECT RAISE(ABORT, 'falha'); END");
    dm->central = {"CENTRAL", "", "S"};
    dm->results.cdsRetConsumidor = textRows({"CDCONSUMIDOR", "CDCLIENTE", "IDSITUACAO"},
                                            {{"K1", "C1", "OK"}, {"K2", "C1", "OK"}});
    dm->AtualizaMSDEConsumidor();

    // The local flag of K1 was rolled back with K2's failure; its central one stays.
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM CONSUMIDOR WHERE IDATUCONSUMI = 'I'"), "2");
    EXPECT_EQ(centralScalar("SELECT IDATUCONSUMI FROM SENHACONS WHERE CDCONSUMIDOR = 'K1'"), "S");
    EXPECT_EQ(centralScalar("SELECT IDATUCONSUMI FROM SENHACONS WHERE CDCONSUMIDOR = 'K2'"), "I");
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Execute do acmUpdConsumidor");
    EXPECT_EQ(lines[1], "Execute do acmUpdConsCentral");
    EXPECT_EQ(lines[2].rfind("ERRO Except AtualizaMSDEConsumidor: ", 0), 0u) << lines[2];
}

// A verdict names an operator-log row by its time without milliseconds. Only
// the rows this transfer sent are flagged: a row of the same second written
// after the selection (.678) stays waiting, or the cleanup would delete a row
// the server never had.
TEST_F(TableAcknowledgement, OperatorLogsSentAreFlaggedWhateverTheVerdictAndOnlyThey) {
    sql("INSERT INTO LOGOPERQEL (CDFILIAL, CDCAIXA, IDOPERQEL, CDOPERRESPOP, DTHROPERQEL, "
        "IDIMPLOGOPERQEL) VALUES ('0001', '001', 'AB', 'OP1', '2026-12-05 10:11:12.345', 'N'), "
        "('0001', '001', 'AB', 'OP1', '2026-12-05 10:11:59.999', 'N')");
    sendAsPacket(2,
                 "SELECT CDFILIAL, CDCAIXA, IDOPERQEL, CDOPERRESPOP, DTHROPERQEL FROM LOGOPERQEL");
    sql("INSERT INTO LOGOPERQEL (CDFILIAL, CDCAIXA, IDOPERQEL, CDOPERRESPOP, DTHROPERQEL, "
        "IDIMPLOGOPERQEL) VALUES ('0001', '001', 'AB', 'OP1', '2026-12-05 10:11:12.678', 'N')");
    dm->results.cdsRetLogOperQel =
        textRows({"CDFILIAL", "CDCAIXA", "IDOPERQEL", "CDOPERRESPOP", "DTHROPERQEL", "IDSITUACAO"},
                 {{"0001", "001", "AB", "OP1", "05/12/2026 10:11:12", "ERRO"},
                  {"0001", "001", "AB", "OP1", "2026-12-05 10:11:59", "OK"}});
    dm->AtualizaMSDELogOperQel();
    EXPECT_EQ(scalar("SELECT GROUP_CONCAT(SUBSTR(DTHROPERQEL, 18) || IDIMPLOGOPERQEL, ' ') FROM "
                     "(SELECT * FROM LOGOPERQEL ORDER BY DTHROPERQEL)"),
              "12.345S 12.678N 59.999S");
    EXPECT_EQ(logLines(), std::vector<std::string>(2, "Execute do acmUpdLogOperQel"));
}

// Command logs and their items are named by their time in "DD/MM/YYYY
// HH:MM:SS": an "OK" flags the sent rows of that second and no row of the same
// second written after the selection (.700), nor one sent but refused.
TEST_F(TableAcknowledgement, CommandLogsSentAreFlaggedByTheirExactTimeAndOnlyThey) {
    sql("INSERT INTO CMD_LOG (CDFILIAL, NRVENDAREST, NRCOMANDA, DTHRREGISTRO, IDEXPREGISTRO) "
        "VALUES ('0001', 'V1', 'C1', '2026-12-05 14:03:09.100', 'N'), "
        "('0001', 'V1', 'C1', '2026-12-05 14:03:09.400', 'N'), "
        "('0001', 'V1', 'C1', '2026-12-05 14:03:10.000', 'N')");
    sql("INSERT INTO ITCMD_LOG (CDFILIAL, NRVENDAREST, NRCOMANDA, NRPRODCOMVEN, DTHRINCOMVEN, "
        "IDEXPREGISTRO) VALUES ('0001', 'V1', 'C1', '000001', '2026-12-05 23:59:59.998', 'N')");
    sendAsPacket(44, "SELECT CDFILIAL, NRVENDAREST, NRCOMANDA, DTHRREGISTRO FROM CMD_LOG");
    sendAsPacket(45,
                 "SELECT CDFILIAL, NRVENDAREST, NRCOMANDA, NRPRODCOMVEN, DTHRINCOMVEN FROM "
                 "ITCMD_LOG");
    sql("INSERT INTO CMD_LOG (CDFILIAL, NRVENDAREST, NRCOMANDA, DTHRREGISTRO, IDEXPREGISTRO) "
        "VALUES ('0001', 'V1', 'C1', '2026-12-05 14:03:09.700', 'N')");
    sql("INSERT INTO ITCMD_LOG (CDFILIAL, NRVENDAREST, NRCOMANDA, NRPRODCOMVEN, DTHRINCOMVEN, "
        "IDEXPREGISTRO) VALUES ('0001', 'V1', 'C1', '000001', '2026-12-05 23:59:59.999', 'N')");
    dm->results.cdsRetCmdLog =
        textRows({"CDFILIAL", "NRVENDAREST", "NRCOMANDA", "DTHRREGISTRO", "IDSITUACAO"},
                 {{"0001", "V1", "C1", "05/12/2026 14:03:09", "OK"},
                  {"0001", "V1", "C1", "05/12/2026 14:03:10", "ERRO"}});
    dm->results.cdsRetItCmdLog = textRows(
        {"CDFILIAL", "NRVENDAREST", "NRCOMANDA", "NRPRODCOMVEN", "DTHRINCOMVEN", "IDSITUACAO"},
        {{"0001", "V1", "C1", "000001", "05/12/2026 23:59:59", "OK"}});

    dm->AtualizaMSDECmdLog();
    dm->AtualizaMSDEItCmdLog();

    EXPECT_EQ(scalar("SELECT GROUP_CONCAT(SUBSTR(DTHRREGISTRO, 18) || IDEXPREGISTRO, ' ') FROM "
                     "(SELECT * FROM CMD_LOG ORDER BY DTHRREGISTRO)"),
              "09.100S 09.400S 09.700N 10.000N");
    EXPECT_EQ(scalar("SELECT GROUP_CONCAT(SUBSTR(DTHRINCOMVEN, 18) || IDEXPREGISTRO, ' ') FROM "
                     "(SELECT * FROM ITCMD_LOG ORDER BY DTHRINCOMVEN)"),
              "59.998S 59.999N");
    EXPECT_EQ(logLines(),
              (std::vector<std::string>{"Execute do acmUpdCmdLog", "Execute do acmUpdItCmdLog"}));
}

TEST_F(TableAcknowledgement, StoredOrdersAreDeletedWithTheirNumberInTheLine) {
    sql("INSERT INTO PEDIDOQEL (CDFILIAL, NRPEDIDOQEL, IDIMPPEDIDOQEL) VALUES "
        "('0001', '0000000077', 'N'), ('0001', '0000000078', 'N')");
    dm->results.cdsRetPedidoQel = textRows(
        {"CDFILIAL", "NRPEDIDOQEL", "IDSITUACAO"},
        {{"0001", "0000000077", "OK"}, {"0001", "0000000077", "OK"}, {"0001", "0000000078", "X"}});
    dm->AtualizaMSDEPedidoQel();
    EXPECT_EQ(scalar("SELECT GROUP_CONCAT(NRPEDIDOQEL) FROM PEDIDOQEL"), "0000000078");
    EXPECT_EQ(logLines(), (std::vector<std::string>{"Execute do acmDelPedidoQel: 0000000077",
                                                    "Execute do acmDelPedidoQel: 0000000077"}));
}

TEST_F(TableAcknowledgement, AShiftGoesFromIThroughAToSWithTheDayOfEachAcknowledgement) {
    sql("INSERT INTO TURCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, IDATUTURCAIXA) VALUES "
        "('0001', '001', '2026-12-06 08:00:00.000', 'I')");
    Dataset shifts({{"CDFILIAL", FieldType::String, 4},
                    {"CDCAIXA", FieldType::String, 3},
                    {"DTABERCAIX", FieldType::DateTime},
                    {"IDSITUACAO", FieldType::String, 3}});
    shifts.append({Variant("0001"), Variant("001"),
                   Variant(DateTime::fromDateTime(2026, 12, 6, 8, 0, 0)), Variant("OK")});
    dm->results.cdsRetTurCaixa = shifts;

    dm->AtualizaMSDETurCaixa();
    EXPECT_EQ(scalar("SELECT IDATUTURCAIXA || ' ' || DTEXPTURCAIXA FROM TURCAIXA"),
              "A 2026-12-06 00:00:00.000");
    EXPECT_EQ(logLines(), std::vector<std::string>{"Execute do acmUpdTurCaixa - status A"});

    clock.set(DateTime::fromDateTime(2026, 12, 7, 9, 15, 0));  // the next day's log file
    dm->AtualizaMSDETurCaixa();
    EXPECT_EQ(scalar("SELECT IDATUTURCAIXA || ' ' || DTEXPTURCAIXA FROM TURCAIXA"),
              "S 2026-12-07 00:00:00.000");
    EXPECT_EQ(logLines(), std::vector<std::string>{"Execute do acmUpdTurCaixa  - status S"});
}

// The flag is chosen per shift from its own local row: another shift of the
// station keeps its flag, and a returned shift no longer found goes to "S".
TEST_F(TableAcknowledgement, EachShiftIsChosenFromItsOwnLocalRow) {
    sql("INSERT INTO TURCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, IDATUTURCAIXA) VALUES "
        "('0001', '001', '2026-12-05 08:00:00.000', 'A'), "
        "('0001', '001', '2026-12-06 08:00:00.000', 'I'), "
        "('0001', '002', '2026-12-06 08:00:00.000', 'I')");
    Dataset shifts({{"CDFILIAL", FieldType::String, 4},
                    {"CDCAIXA", FieldType::String, 3},
                    {"DTABERCAIX", FieldType::DateTime},
                    {"IDSITUACAO", FieldType::String, 3}});
    for (const int day : {5, 6, 4}) {
        shifts.append({Variant("0001"), Variant("001"),
                       Variant(DateTime::fromDateTime(2026, 12, day, 8, 0, 0)), Variant("OK")});
    }
    dm->results.cdsRetTurCaixa = shifts;
    dm->AtualizaMSDETurCaixa();
    EXPECT_EQ(scalar("SELECT GROUP_CONCAT(CDCAIXA || SUBSTR(DTABERCAIX, 9, 2) || IDATUTURCAIXA, "
                     "' ') FROM (SELECT * FROM TURCAIXA ORDER BY CDCAIXA, DTABERCAIX)"),
              "00105S 00106A 00206I");
    EXPECT_EQ(logLines(), (std::vector<std::string>{"Execute do acmUpdTurCaixa  - status S",
                                                    "Execute do acmUpdTurCaixa - status A",
                                                    "Execute do acmUpdTurCaixa  - status S"}));
}

TEST_F(TableAcknowledgement, BlockedProductsAreOnlyCounted) {
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < 10; ++i) rows.push_back({std::to_string(i), i < 7 ? "OK" : "NOK"});
    dm->results.cdsRetProdBloqVndTaa = textRows({"CDPRODUTO", "IDSITUACAO"}, rows);
    dm->AtualizaMSDEProdBloqVndTaa();
    dm->results.cdsRetProdBloqVndTaa = textRows({"CDPRODUTO", "IDSITUACAO"}, {});
    dm->AtualizaMSDEProdBloqVndTaa();
    EXPECT_EQ(logLines(), std::vector<std::string>{"cdsRetProdBloqVndTaa quantidade OK : 7"});
}

}  // namespace
