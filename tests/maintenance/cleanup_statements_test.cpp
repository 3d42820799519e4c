// The cleanup's deletions one table at a time: each removes what is old
// and exported, spares what still waits or is younger than its cut-off (a
// row on each side of the boundary), and the cleanup's own rules around the
// transaction, the consumer retention and the row-count log.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cleanup_fixture.h"

namespace {

using qel::DateTime;
using qel::Variant;

class CleanupStatements : public qel::testing::CleanupFixture {
  protected:
    // An exported, closed shift long ago: the deletions of sales and
    // reductions (statements 12 to 35) run.
    void oldExportedShift() {
        sql("INSERT INTO TURCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, DTFECHCAIX, IDATUTURCAIXA) "
            "VALUES ('0001', '001', '2025-11-01 08:00:00.000', '2025-11-01 18:00:00.000', 'S')");
    }
    void sale(const std::string& storeCode, const std::string& stationCode,
              const std::string& number, const std::string& entered, const std::string& flag) {
        sql("INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, DTABERTUR, DTENTRVENDA, "
            "IDSITUVENDA, IDIMPVENDA) VALUES (:F, :C, :N, :E, :E, 'O', :X)",
            {{"F", Variant(storeCode)},
             {"C", Variant(stationCode)},
             {"N", Variant(number)},
             {"E", Variant(entered)},
             {"X", Variant(flag)}});
    }
    // A customer movement; without station and sale it is a credit.
    void movement(const std::string& key, const std::string& stationCode, const std::string& number,
                  const std::string& day, const std::string& storeCode = "0001") {
        sql("INSERT INTO MOVICLIE (CDCLIENTE, NRSEQMOVCLI, CDFILIAL, CDCAIXA, NRSEQVENDA, "
            "DTMOVCLI) VALUES ('C1', :K, :F, :C, :N, :D)",
            {{"K", Variant(key)},
             {"F", Variant(storeCode)},
             {"C", stationCode.empty() ? Variant::null() : Variant(stationCode)},
             {"N", number.empty() ? Variant::null() : Variant(number)},
             {"D", Variant(day)}});
    }
    // One column of a table's remaining rows, in order, joined by " ".
    std::string remaining(const std::string& table, const std::string& column) {
        return scalar("SELECT COALESCE(GROUP_CONCAT(K, ' '), '') FROM (SELECT " + column +
                      " AS K FROM " + table + " ORDER BY 1)");
    }
};

// Day totals keep thirty days counted from today's midnight, whatever the
// time of the cleanup and whether or not an old shift was found; a total
// still waiting for export stays.
TEST_F(CleanupStatements, DayTotalsKeepThirtyDaysFromTodaysMidnightAndTheWaitingOnes) {
    stationSettings("30");
    sql("INSERT INTO TOTALDIACAIXA (CDFILIAL, CDCAIXA, DTTOTAL, QTVENDAS, IDIMPTOTDIACAIXA) "
        "VALUES ('0001', '001', '2026-11-06 00:00:00.000', 1, 'S'),"  // a day too old
        "('0001', '001', '2026-11-07 00:00:00.000', 2, 'S'),"         // the oldest day kept
        "('0001', '001', '2026-11-05 00:00:00.000', 3, 'N'),"         // old but waiting
        "('0001', '001', '2026-11-04 00:00:00.000', 4, NULL),"        // old, never flagged
        "('0001', '002', '2026-11-06 00:00:00.000', 5, 'S'),"         // same store, other station
        "('0002', '001', '2026-11-06 00:00:00.000', 6, 'S')");        // another store
    clock.set(at(2026, 12, 7, 23, 30));
    cleanup();
    EXPECT_TRUE(logged("Não foi encontrado TurCaixa/Redução Z a serem deletadas."));
    EXPECT_TRUE(logged("Executou acmDelTotalDiaCaixa."));
    EXPECT_EQ(remaining("TOTALDIACAIXA", "QTVENDAS"), "2 3 6");
}

// Customer movements keep a year (rounded to midnight): those of the store's
// old exported sales go, of every station; credits and movements whose sale
// is gone go by their own day; a waiting sale keeps its movements.
TEST_F(CleanupStatements, CustomerMovementsKeepAYearAndFollowTheirSale) {
    stationSettings("30");
    oldExportedShift();
    // 15:00 less 365 days rounds up to the year's cut-off, 8 December 2025.
    sale("0001", "001", "0000000001", "2025-12-07 23:59:00.000", "S");  // before the cut-off
    sale("0001", "001", "0000000002", "2025-12-08 00:00:00.000", "S");  // at it
    sale("0001", "001", "0000000003", "2025-11-01 09:00:00.000", "I");  // old, waiting
    sale("0001", "002", "0000000001", "2025-11-01 09:00:00.000", "S");  // other station
    sale("0002", "001", "0000000001", "2025-11-01 09:00:00.000", "S");  // other store
    movement("01", "001", "0000000001", "2026-12-01 10:00:00.000");     // goes with its sale
    movement("02", "001", "0000000002", "2025-11-01 10:00:00.000");     // sale too young: stays
    movement("03", "001", "0000000003", "2025-11-01 10:00:00.000");     // sale waits: stays
    movement("04", "002", "0000000001", "2026-12-01 10:00:00.000");     // goes, other station
    movement("05", "001", "0000000001", "2026-12-01 10:00:00.000", "0002");  // stays
    movement("06", "", "", "2025-12-07 23:59:00.000");                       // old credit: goes
    movement("07", "", "", "2025-12-08 00:00:00.000");               // credit at the cut-off: stays
    movement("08", "001", "0000000404", "2025-12-07 23:59:00.000");  // sale gone: goes
    movement("09", "001", "0000000404", "2025-12-08 00:00:00.000");  // sale gone, young: stays
    clock.set(at(2026, 12, 7, 15));
    cleanup();
    EXPECT_TRUE(errorLines().empty());
    EXPECT_TRUE(logged("Executou acmDelMoviClieAntiga."));
    EXPECT_EQ(remaining("MOVICLIE", "NRSEQMOVCLI"), "02 03 05 07 09");
}

// Statements 3, 4 and 10 run at every cleanup: the self-service order log
// keeps thirty days (rounded), waiter orders stay while their table sale
// exists, and order-item counters stay while their order item exists.
TEST_F(CleanupStatements, OrderLogsWaiterOrdersAndOrderCountersGoOnlyWhenOldOrOrphaned) {
    stationSettings("30");
    // 15:00 less 30 days rounds up to 8 November.
    sql("INSERT INTO LOGPEDIDOTAA (CDFILIAL, NRSEQLOGTAA, DTHRPEDIDO) VALUES "
        "('0001', '1', '2026-11-07 23:59:00.000'), ('0001', '2', '2026-11-08 00:00:00.000'), "
        "('0002', '3', '2026-10-01 00:00:00.000')");
    sql("INSERT INTO VENDAREST (CDFILIAL, NRVENDAREST) VALUES ('0001', 'R1'), ('0002', 'R2')");
    sql("INSERT INTO WAITERORDERS (CDFILIAL, NRVENDAREST, NRORDER) VALUES "
        "('0001', 'R1', '1'),"   // its table sale exists
        "('0001', 'R2', '2'),"   // the table sale is another store's
        "('0001', 'R3', '3'),"   // no table sale
        "('0002', 'R9', '4')");  // another store's orphan
    sql("INSERT INTO ITPEDIDOQEL (CDFILIAL, NRPEDIDOQEL, NRSEQITPEDQEL) VALUES "
        "('0001', '0000000001', '001')");
    for (const char* key : {
             "ITPEDIDOQEL00010000000001",     // item exists: stays
             "ITPEDIDOQEL00010000000002",     // no item: goes
             "ITPEDIDOQEL000100000000021",    // 26 characters, no item: goes
             "ITPEDIDOQEL0001000000000212",   // 27 characters: no rule takes it
             "ITPEDIDOQELPAI00010000000001",  // item exists: stays
             "ITPEDIDOQELPAI00010000000003",  // no item: goes
             "ITPEDIDOQELPAI0001000000000",   // 27 characters: stays
             "ITPEDIDOQELREL00010000000001",  // item exists: stays
             "ITPEDIDOQELREL00010000000004",  // no item: goes
             "VENDA0001",                     // not an order counter
         }) {
        sql("INSERT INTO NOVOCODIGO (CDCONTADOR, NRSEQUENCIAL) VALUES (:K, 1)",
            {{"K", Variant(key)}});
    }
    clock.set(at(2026, 12, 7, 15));
    cleanup();
    EXPECT_TRUE(errorLines().empty());
    EXPECT_EQ(remaining("LOGPEDIDOTAA", "NRSEQLOGTAA"), "2 3");
    EXPECT_EQ(remaining("WAITERORDERS", "NRORDER"), "1 4");
    EXPECT_EQ(remaining("NOVOCODIGO", "CDCONTADOR"),
              "ITPEDIDOQEL00010000000001 ITPEDIDOQEL0001000000000212 "
              "ITPEDIDOQELPAI0001000000000 ITPEDIDOQELPAI00010000000001 "
              "ITPEDIDOQELREL00010000000001 VENDA0001");
}

// Orders before today, voided invoice numbers and order hours older than
// five days (by date) go once exported; the waiting ones stay.
TEST_F(CleanupStatements, OrdersVoidedNumbersAndOrderHoursGoOnceExported) {
    stationSettings("30");
    oldExportedShift();
    sql("INSERT INTO PEDIDOQEL (CDFILIAL, NRPEDIDOQEL, DTPEDIDOQEL, IDSTATUSPEDQEL, "
        "IDIMPPEDIDOQEL) VALUES "
        "('0001', '01', '2026-12-06 23:59:00.000', '4', 'S'),"   // yesterday, exported: goes
        "('0001', '02', '2026-12-07 00:00:00.000', '4', 'S'),"   // today: stays
        "('0001', '03', '2026-11-01 00:00:00.000', '4', 'N'),"   // never to be sent: stays
        "('0001', '04', '2026-11-01 00:00:00.000', '4', 'I'),"   // waiting: stays
        "('0001', '05', '2026-11-01 00:00:00.000', '1', 'I'),"   // not finished: goes
        "('0002', '06', '2026-11-01 00:00:00.000', '4', 'S')");  // another store: stays
    sql("INSERT INTO INUTILIZANFCE (CDFILIAL, CDCAIXA, NRNOTAFISCALCE, IDIMPINUTILIZA) VALUES "
        "('0001', '001', '1', 'S'), ('0001', '001', '2', 'N'), ('0001', '001', '3', 'I'), "
        "('0001', '002', '4', 'S')");
    // Five days before 7 December, by date: hours before 2 December go.
    sale("0001", "001", "0000000001", "2026-11-30 09:00:00.000", "S");
    sale("0001", "001", "0000000002", "2026-11-30 09:00:00.000", "I");
    sql("INSERT INTO ITHRCOMANDA (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQUITVEND, DTHRPEDIDO) VALUES "
        "('0001', '001', '0000000001', '001', '2026-12-01 23:59:00.000'),"   // goes
        "('0001', '001', '0000000001', '002', '2026-12-02 00:00:00.000'),"   // stays
        "('0001', '001', '0000000002', '003', '2026-11-30 09:00:00.000'),"   // sale waits
        "('0001', '002', '0000000001', '004', '2026-11-30 09:00:00.000')");  // other station
    clock.set(at(2026, 12, 7, 23));
    cleanup();
    EXPECT_TRUE(errorLines().empty());
    EXPECT_EQ(remaining("PEDIDOQEL", "NRPEDIDOQEL"), "02 03 04 06");
    EXPECT_EQ(remaining("INUTILIZANFCE", "NRNOTAFISCALCE"), "2 3 4");
    EXPECT_EQ(remaining("ITHRCOMANDA", "NRSEQUITVEND"), "002 003 004");
}

// An error among the first four statements is passed over only while the
// transaction goes on; one that ended it must fail the cleanup, or every
// later deletion would be committed on its own.
TEST_F(CleanupStatements, AnErrorThatEndsTheTransactionInTheFirstFourFailsTheCleanup) {
    stationSettings("30");
    sql("INSERT INTO CMD_LOG (CDFILIAL, NRVENDAREST, NRCOMANDA, DTHRREGISTRO, IDEXPREGISTRO) "
        "VALUES ('0001', 'R1', 'C1', '2026-10-01 00:00:00.000', 'S')");
    sql("INSERT INTO LOGPEDIDOTAA (CDFILIAL, NRSEQLOGTAA, DTHRPEDIDO) VALUES "
        "('0001', '1', '2026-10-01 00:00:00.000')");
    sql("INSERT INTO LOGACESSO (CDOPERADOR, DSSISTEMA, DTHRACESSO, IDIMPLOGACESSO) VALUES "
        "('OP', 'PDV', '2026-10-01 10:00:00.000', 'S')");
    sql("CREATE TRIGGER ORDER_LOG_GONE BEFORE DELETE ON LOGPEDIDOTAA BEGIN SELECT "
        "RAISE(ROLLBACK, 'database disk image is malformed'); END");
    clock.set(at(2026, 12, 7, 15));
    cleanup();
    EXPECT_EQ(count("CMD_LOG"), 1);    // undone with the transaction
    EXPECT_EQ(count("LOGACESSO"), 1);  // never reached
    EXPECT_FALSE(logged("Executou acmDelLogAcesso."));
    EXPECT_FALSE(reportedCleanup().has_value());
    ASSERT_EQ(errorLines().size(), 1u);
    EXPECT_EQ(errorLines()[0],
              "ERRO Except LimpaBaseDeDados: the cleanup's transaction ended at "
              "acmDelLogPedidoTaa");
    EXPECT_FALSE(dm->adcCaixa.inTransaction());
}

// A consumer retention of blanks is no retention: no consumer cleanup. One
// that is not a number is thirty days, rounded to midnight like the others.
TEST_F(CleanupStatements, BlankConsumerRetentionSkipsTheConsumersAndAnUnreadableOneIsThirtyDays) {
    sql("INSERT INTO CONSUMIDOR (CDCLIENTE, CDCONSUMIDOR, IDATUCONSUMI, IDATUCONSONLINE, "
        "DTATUCONSONLINE) VALUES ('C', '1', 'S', 'S', '2026-11-07 23:59:00.000'), "
        "('C', '2', 'S', 'S', '2026-11-08 00:00:00.000')");
    dueStore->forgetCleanups = true;
    stationSettings("30", Variant("   "));
    clock.set(at(2026, 12, 7, 16));
    cleanup();
    EXPECT_TRUE(logged("Finalizando Limpeza."));
    EXPECT_FALSE(logged("Iniciando a limpeza de consumidores online."));
    EXPECT_FALSE(logged("Executou acmDelConsumidor."));
    EXPECT_EQ(count("CONSUMIDOR"), 2);

    stationSettings("30", Variant("trinta"));
    cleanup();
    const auto lines = logLines();
    const auto start =
        std::find(lines.begin(), lines.end(), "Iniciando a limpeza de consumidores online.");
    ASSERT_GE(std::distance(start, lines.end()), 4);
    EXPECT_EQ(std::vector<std::string>(start + 1, start + 4),
              (std::vector<std::string>{"Número de dias a serem limpos: 30",
                                        "dtAtrasada: 07/11/2026 16:00:00",
                                        "Executou acmDelConsumidor."}));
    EXPECT_TRUE(errorLines().empty());
    EXPECT_EQ(remaining("CONSUMIDOR", "CDCONSUMIDOR"), "2");
}

// The row counts are only a report: when they cannot be read the cleanup
// writes why, twice, and still deletes and reports to the server.
TEST_F(CleanupStatements, RowCountsThatCannotBeReadDoNotStopTheCleanup) {
    stationSettings("30");
    sql("DROP TABLE ITHRCOMANDA");  // counted, but deleted from only after an old shift
    sql("INSERT INTO LOGACESSO (CDOPERADOR, DSSISTEMA, DTHRACESSO, IDIMPLOGACESSO) VALUES "
        "('OP', 'PDV', '2026-10-01 10:00:00.000', 'S')");
    clock.set(at(2026, 12, 7, 15));
    cleanup();
    const auto errors = errorLines();
    ASSERT_EQ(errors.size(), 2u);
    for (const auto& line : errors) {
        EXPECT_EQ(line.rfind("ERRO Except geraLogQuantidadeTabelas: ", 0), 0u) << line;
        EXPECT_NE(line.find("ITHRCOMANDA"), std::string::npos) << line;
    }
    EXPECT_FALSE(logged("Quantidade de registros nas tabelas"));
    EXPECT_EQ(count("LOGACESSO"), 0);
    EXPECT_TRUE(logged("Finalizando Limpeza."));
    EXPECT_TRUE(reportedCleanup().has_value());
}

// A refund still waiting keeps its old exported sale, the sale's rows with
// it, until the refund is sent; then the next cleanup removes them all. A
// sent refund, or one never flagged, does not hold its sale.
TEST_F(CleanupStatements, ASaleIsKeptWithItsRowsWhileItsRefundWaits) {
    stationSettings("30");
    shiftWithSale(at(2026, 11, 1, 8), "0000000001", "S");
    shiftWithSale(at(2026, 11, 1, 9), "0000000002", "S");
    shiftWithSale(at(2026, 11, 1, 10), "0000000003", "S");
    sql("UPDATE ESTORNOVND SET IDIMPESTVND = 'N' WHERE NRSEQVENDA = '0000000001'");
    sql("UPDATE ESTORNOVND SET IDIMPESTVND = NULL WHERE NRSEQVENDA = '0000000003'");
    clock.set(at(2026, 12, 7, 15));
    cleanup();
    EXPECT_TRUE(errorLines().empty());
    EXPECT_EQ(remaining("VENDA", "NRSEQVENDA"), "0000000001");
    EXPECT_EQ(remaining("ITEMVENDA", "NRSEQVENDA"), "0000000001");
    EXPECT_EQ(remaining("ESTORNOVND", "NRSEQVENDA"), "0000000001");

    sql("UPDATE ESTORNOVND SET IDIMPESTVND = 'S'");
    oldExportedShift();  // the first cleanup removed the shifts that opened the deletions
    dueStore->forgetCleanups = true;
    cleanup();
    EXPECT_TRUE(errorLines().empty());
    EXPECT_EQ(count("VENDA"), 0);
    EXPECT_EQ(count("ITEMVENDA"), 0);
    EXPECT_EQ(count("ESTORNOVND"), 0);
}

// The row counts as a SQL Server station reads them, from the server's
// catalogue views. Here the station file is reached through ODBC in that
// dialect, with the views it reads standing in an attached schema.
class RowCountLog : public qel::testing::StationFixture {
  protected:
    void SetUp() override {
        StationFixture::SetUp();
        dm->adcCaixa.close();
        dm->adcCaixa.setBeforeConnect({});
        dm->adcCaixa.setConnectionString(
            "Provider=ODBC;Driver=SQLite3;Dialect=SQLServer;Database=" + stationFile().string());
        auto& db = dm->adcCaixa;
        db.execute("ATTACH DATABASE ':memory:' AS sys");
        db.execute(
            "CREATE TABLE sys.tables (NAME TEXT, OBJECT_ID INT, schema_id INT, "
            "is_ms_shipped INT)");
        db.execute("CREATE TABLE sys.indexes (object_id INT, index_id INT)");
        db.execute(
            "CREATE TABLE sys.partitions (partition_id INT, OBJECT_ID INT, index_id INT, "
            "rows INT)");
        db.execute("CREATE TABLE sys.allocation_units (container_id INT)");
        db.execute("CREATE TABLE sys.schemas (schema_id INT, Name TEXT)");
    }
    // A table with its one index, partition and allocation unit.
    void table(const std::string& name, int id, int rows, int shipped = 0) {
        auto& db = dm->adcCaixa;
        const qel::db::Params p{{"N", Variant(name)},
                                {"I", Variant(std::int64_t{id})},
                                {"R", Variant(std::int64_t{rows})},
                                {"S", Variant(std::int64_t{shipped})}};
        db.execute("INSERT INTO sys.tables VALUES (:N, :I, 1, :S)", p);
        db.execute("INSERT INTO sys.indexes VALUES (:I, 1)", p);
        db.execute("INSERT INTO sys.partitions VALUES (:I, :I, 1, :R)", p);
        db.execute("INSERT INTO sys.allocation_units VALUES (:I)", p);
    }
};

TEST_F(RowCountLog, AnEmptyAnswerWritesNothingAndRowsAreWrittenByNameDescending) {
    dm->geraLogQuantidadeTabelas();
    EXPECT_TRUE(logLines().empty());

    dm->adcCaixa.execute("INSERT INTO sys.schemas VALUES (1, 'dbo')");
    table("ITEMVENDA", 300, 4100);
    table("VENDA", 301, 1520);
    table("CAIXA", 302, 3);         // not one of the eight
    table("LOGACESSO", 303, 9, 1);  // shipped with the server
    table("NOVOCODIGO", 200, 7);    // a system object's number
    dm->geraLogQuantidadeTabelas();
    EXPECT_EQ(logLines(),
              (std::vector<std::string>{std::string(36, '*'), "Quantidade de registros nas tabelas",
                                        "VENDA: 1520", "ITEMVENDA: 4100", std::string(36, '*')}));
}

}  // namespace
