// Behaviour of key statements on a small station database.

#include <gtest/gtest.h>

#include "definitions/statement.h"
#include "test_database.h"

namespace qel::definitions {
namespace {

using testing::TestDatabase;

class StationStatements : public ::testing::Test {
  protected:
    // The database clock reads 06/12/2026 10:00:30.
    ManualClock clock{DateTime::fromDateTime(2026, 12, 6, 10, 0, 30)};
    TestDatabase db{clock};

    // A sale of store 0001, station 001.
    void sale(const std::string& number, const std::string& opened, const std::string& inserted,
              const std::string& flag = "I", const std::string& situation = "O",
              const std::string& entryDay = "2026-12-06 00:00:00.000") {
        db.exec(
            "INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, DTABERTUR, DTENTRVENDA, "
            "DTINSERCAO, DTFECHAVENDA, IDSITUVENDA, IDIMPVENDA, VRTOTVENDA) VALUES ('0001', "
            "'001', '" +
            number + "', '" + opened + "', '" + entryDay + "', " + inserted +
            ", '2026-12-06 09:00:00.000', '" + situation + "', '" + flag + "', 10)");
    }

    std::string run(std::string_view name, std::initializer_list<TestDatabase::Binding> extra) {
        return db.column(statement(name).sqlite, extra);
    }
};

using B = TestDatabase::Binding;

TEST_F(StationStatements, SalesWindowHonoursAgeOrderSituationAndLimit) {
    sale("0000000003", "2026-12-06 08:00:00.000", "'2026-12-06 09:58:59.999'");
    sale("0000000001", "2026-12-06 08:00:00.000", "'2026-12-06 09:50:00.000'");
    sale("0000000002", "2026-12-06 07:00:00.000", "NULL");                       // closed at 09:00
    sale("0000000004", "2026-12-06 06:00:00.000", "'2026-12-06 09:59:00.000'");  // one boundary
    sale("0000000005", "2026-12-06 06:00:00.000", "'2026-12-06 09:00:00.000'", "S");
    sale("0000000006", "2026-12-06 06:00:00.000", "'2026-12-06 09:00:00.000'", "A", "P");
    sale("0000000007", "2026-12-06 06:30:00.000", "'2026-12-06 09:00:00.000'", "A", "O",
         "2026-12-05 00:00:00.000");

    const auto window = [&](const std::string& day, std::int64_t limit) {
        return run("adqRangeVendaExp", {B{":P_CDFILIAL", "0001"}, B{":P_CDCAIXA", "001"},
                                        B{":P_DTMOVIM", day}, B{":P_NRVENDAEXP", limit}});
    };
    EXPECT_EQ(window("T", 100), "0000000007,0000000002,0000000001,0000000003");
    EXPECT_EQ(window("T", 2), "0000000007,0000000002");
    EXPECT_EQ(window("05/12/2026", 100), "0000000007");

    clock.advance(std::chrono::seconds(30));  // 10:01:00: sale 4 crossed two boundaries
    EXPECT_EQ(window("06/12/2026", 100), "0000000004,0000000002,0000000001,0000000003");
}

TEST_F(StationStatements, SaleChildrenFollowTheWindowAndOnlyNewSales) {
    sale("0000000001", "2026-12-06 08:00:00.000", "'2026-12-06 09:00:00.000'");
    sale("0000000002", "2026-12-06 08:00:00.000", "'2026-12-06 09:00:00.000'", "A");
    sale("0000000003", "2026-12-06 08:00:00.000", "'2026-12-06 09:00:00.000'");
    for (const char* n : {"0000000001", "0000000002", "0000000003"}) {
        db.exec(std::string("INSERT INTO ITEMVENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQUITVEND) "
                            "VALUES ('0001', '001', '") +
                n + "', '002'), ('0001', '001', '" + n + "', '001')");
    }
    const auto items = [&](const std::string& first, const std::string& last) {
        return db.column("SELECT NRSEQVENDA || '/' || NRSEQUITVEND FROM (" +
                             std::string(statement("adqCliItemVenda").sqlite) + ")",
                         {B{":P_CDFILIAL", "0001"}, B{":P_CDCAIXA", "001"}, B{":P_DTMOVIM", "T"},
                          B{":P_NRSEQVENDAINI", first}, B{":P_NRSEQVENDAFIN", last}});
    };
    EXPECT_EQ(items("0000000001", "0000000003"),
              "0000000001/001,0000000001/002,0000000003/001,0000000003/002");
    EXPECT_EQ(items("0000000002", "0000000002"), "");
    EXPECT_EQ(items("", ""), "");
}

TEST_F(StationStatements, CashMovementsByOwnFlagNewSaleOrAlteredPayment) {
    sale("0000000001", "2026-12-06 08:00:00.000", "'2026-12-06 09:00:00.000'");
    sale("0000000002", "2026-12-06 08:00:00.000", "'2026-12-06 09:00:00.000'", "A");
    db.exec(
        "INSERT INTO MOVCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, NRSEQUMOVI, NRSEQVENDA, "
        "DTMOVIMCAIXA, IDIMPMOVCAIXA, IDALTERTIPORECE) VALUES "
        "('0001','001','2026-12-06 08:00:00.000','000001',NULL,'2026-12-06 08:10:00.000','I',"
        "'N'),"
        "('0001','001','2026-12-06 08:00:00.000','000002',NULL,'2026-12-06 08:10:00.000','S',"
        "'N'),"
        "('0001','001','2026-12-06 08:00:00.000','000003','0000000001','2026-12-06 "
        "08:20:00.000','S','N'),"
        "('0001','001','2026-12-06 08:00:00.000','000004','0000000002','2026-12-06 "
        "08:30:00.000','I','N'),"
        "('0001','001','2026-12-06 08:00:00.000','000005','0000000002','2026-12-06 "
        "08:30:00.000','S','S')");
    EXPECT_EQ(run("adqCliMovCaixa",
                  {B{":P_CDFILIAL", "0001"}, B{":P_CDCAIXA", "001"}, B{":P_DTMOVIM", "T"},
                   B{":P_NRSEQVENDAINI", "0000000001"}, B{":P_NRSEQVENDAFIN", "0000000002"}}),
              "0001,0001,0001");
    EXPECT_EQ(db.column("SELECT NRSEQUMOVI FROM (" +
                            std::string(statement("adqCliMovCaixa").sqlite) + ")",
                        {B{":P_CDFILIAL", "0001"}, B{":P_CDCAIXA", "001"}, B{":P_DTMOVIM", "T"},
                         B{":P_NRSEQVENDAINI", "0000000001"}, B{":P_NRSEQVENDAFIN", "0000000002"}}),
              "000001,000003,000005");
}

TEST_F(StationStatements, AlteredShiftWaitsForItsSales) {
    db.exec(
        "INSERT INTO TURCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, DTMOVTURCAIX, IDATUTURCAIXA) "
        "VALUES ('0001','001','2026-12-06 08:00:00.000','2026-12-06 00:00:00.000','A'),"
        "('0001','001','2026-12-06 14:00:00.000','2026-12-06 00:00:00.000','I'),"
        "('0001','001','2026-12-05 08:00:00.000','2026-12-05 00:00:00.000','A')");
    sale("0000000001", "2026-12-06 08:00:00.000", "'2026-12-06 09:00:00.000'", "A");
    const auto shifts = [&](const std::string& day) {
        return db.column(
            "SELECT DTABERCAIX FROM (" + std::string(statement("adqCliTurCaixa").sqlite) + ")",
            {B{":P_CDFILIAL", "0001"}, B{":P_CDCAIXA", "001"}, B{":P_DTMOVIM", day}});
    };
    EXPECT_EQ(shifts("T"), "2026-12-05 08:00:00.000,2026-12-06 14:00:00.000");
    EXPECT_EQ(shifts("06/12/2026"), "2026-12-06 14:00:00.000");
}

TEST_F(StationStatements, FirstExportMarksSalesOfImportedShiftsIgnoringMilliseconds) {
    db.exec(
        "INSERT INTO TURCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, IDIMPTCAIXA) VALUES "
        "('0001','001','2026-12-06 08:00:00.000','S'),"
        "('0001','001','2026-12-06 14:00:00.000','N')");
    sale("0000000001", "2026-12-06 08:00:00.400", "NULL");
    sale("0000000002", "2026-12-06 14:00:00.000", "NULL");
    db.column(statement("acmUpdImpVenda").sqlite,
              {B{":P_CDFILIAL", "0001"}, B{":P_CDCAIXA", "001"}});
    EXPECT_EQ(db.column("SELECT IDIMPVENDA FROM VENDA ORDER BY NRSEQVENDA"), "S,I");
}

TEST_F(StationStatements, CommandLogAcknowledgementMatchesTheDayAndTimeText) {
    db.exec(
        "INSERT INTO CMD_LOG (CDFILIAL, NRVENDAREST, NRCOMANDA, DTHRREGISTRO, IDEXPREGISTRO) "
        "VALUES ('0001','0000000001','0000000007','2026-12-06 09:05:07.123','N')");
    const auto acknowledge = [&](const std::string& when) {
        db.column(statement("acmUpdCmdLog").sqlite,
                  {B{":P_CDFILIAL", "0001"}, B{":P_NRVENDAREST", "0000000001"},
                   B{":P_NRCOMANDA", "0000000007"}, B{":P_DTHRREGISTRO", when}});
        return db.column("SELECT IDEXPREGISTRO FROM CMD_LOG");
    };
    EXPECT_EQ(acknowledge("06/12/26 09:05:07"), "N");
    EXPECT_EQ(acknowledge("06/12/2026 09:05:07"), "S");
}

TEST_F(StationStatements, OperatorLogAcknowledgementDropsMilliseconds) {
    db.exec(
        "INSERT INTO LOGOPERQEL (CDFILIAL, CDCAIXA, IDOPERQEL, CDOPERRESPOP, DTHROPERQEL, "
        "IDIMPLOGOPERQEL) VALUES ('0001','001','01','OP1','2026-12-06 09:05:07.123','N')");
    db.column(statement("acmUpdLogOperQel").sqlite,
              {B{":P_CDFILIAL", "0001"}, B{":P_CDCAIXA", "001"}, B{":P_IDOPERQEL", "01"},
               B{":P_CDOPERRESPOP", "OP1"}, B{":P_DTHROPERQEL", "06/12/2026 09:05:07"}});
    EXPECT_EQ(db.column("SELECT IDIMPLOGOPERQEL FROM LOGOPERQEL"), "S");
}

TEST_F(StationStatements, CancelledSaleDifferenceIsHalfTheExcessOfTheMovements) {
    sale("0000000001", "2026-12-06 08:00:00.000", "NULL");
    // 3 x 3.333 truncates to 9.99; 0.29 stays 0.29.
    db.exec(
        "INSERT INTO ITEMVENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQUITVEND, QTPRODVEND, "
        "VRUNITVEND) VALUES ('0001','001','0000000001','001',3,3.333),"
        "('0001','001','0000000001','002',1,0.29),"
        "('0001','001','0000000001','003',89.72,1)");
    db.exec(
        "INSERT INTO MOVCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, NRSEQUMOVI, NRSEQVENDA, "
        "VRMOVIVEND) VALUES ('0001','001','2026-12-06 08:00:00.000','000001','0000000001',"
        "100), ('0001','001','2026-12-06 08:00:00.000','000002','0000000001',10),"
        "('0001','001','2026-12-06 08:00:00.000','000003','0000000001',10)");
    const std::string sql = "SELECT VRVENDA || '|' || VRMOVCAIXA || '|' || VRDIF FROM (" +
                            std::string(statement("adqVendaCanc").sqlite) + ")";
    const std::initializer_list<B> key = {B{":P_CDFILIAL", "0001"}, B{":P_CDCAIXA", "001"},
                                          B{":P_NRSEQVENDA", "0000000001"}};
    EXPECT_EQ(db.column(sql, key), "100.0|120.0|10.0");
    db.exec("UPDATE MOVCAIXA SET VRMOVIVEND = 10.01 WHERE NRSEQUMOVI = '000003'");
    EXPECT_EQ(db.column(sql, key), "100.0|120.01|10.005");
}

TEST_F(StationStatements, CleanupRemovesOnlyOldExportedSalesOfTheStation) {
    sale("0000000001", "2026-11-01 08:00:00.000", "NULL", "S", "O", "2026-11-01 00:00:00.000");
    sale("0000000002", "2026-11-01 08:00:00.000", "NULL", "A", "O", "2026-11-01 00:00:00.000");
    sale("0000000003", "2026-12-06 08:00:00.000", "NULL", "S");
    for (const char* n : {"0000000001", "0000000002", "0000000003"}) {
        db.exec(std::string("INSERT INTO ITEMVENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQUITVEND) "
                            "VALUES ('0001', '001', '") +
                n + "', '001')");
    }
    const std::initializer_list<B> cut = {B{":P_CDFILIAL", "0001"}, B{":P_CDCAIXA", "001"},
                                          B{":P_DTABERCAIX", "2026-11-06 00:00:00.000"}};
    db.column(statement("acmDelItemVenda").sqlite, cut);
    db.column(statement("acmDelVenda").sqlite, cut);
    EXPECT_EQ(db.column("SELECT NRSEQVENDA FROM ITEMVENDA ORDER BY 1"), "0000000002,0000000003");
    EXPECT_EQ(db.column("SELECT NRSEQVENDA FROM VENDA ORDER BY 1"), "0000000002,0000000003");
}

TEST_F(StationStatements, CommandCountersGoWhenTheirCommandIsGone) {
    db.exec(
        "INSERT INTO COMANDAVEN (CDFILIAL, NRVENDAREST, NRCOMANDA) VALUES "
        "('0001','0000000001','0000000007')");
    db.exec(
        "INSERT INTO NOVOCODIGO (CDCONTADOR) VALUES ('ITCOMANDAVEN00010000000007'),"
        "('ITCOMANDAVEN00010000000008'), ('ITCOMANDAVEN'), ('NFCE1000100155')");
    db.column(statement("acmDelNovoCodigo").sqlite, {B{":P_CDFILIAL", "0001"}});
    EXPECT_EQ(db.column("SELECT CDCONTADOR FROM NOVOCODIGO ORDER BY 1"),
              "ITCOMANDAVEN,ITCOMANDAVEN00010000000007,NFCE1000100155");
    EXPECT_EQ(run("adqCliNOVOCODNFCE", {B{":P_CDFILIAL", "0001"}, B{":P_CDCAIXA", "001"}}),
              "NFCE1000100155");
}

TEST_F(StationStatements, AssociationIsASubstringMatch) {
    db.exec("INSERT INTO CAIXA (CDFILIAL, CDCAIXA, DSCAIXAVEN) VALUES ('0001','009','10_12')");
    const auto listed = [&](const std::string& station) {
        return run("adqEstaAssociado", {B{":P_CDFILIAL", "0001"}, B{":P_CDCAIXA", station}});
    };
    EXPECT_EQ(listed("1"), "1");
    EXPECT_EQ(listed("12"), "1");
    EXPECT_EQ(listed("05"), "");
}

}  // namespace
}  // namespace qel::definitions
