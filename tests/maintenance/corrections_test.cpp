// The pre-export corrections on a real station database: sale status,
// cancelled SAT sales with their cash movements, and item taxes.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../station_fixture.h"
#include "definitions/statement.h"
#include "simulator/simulator.h"

namespace {

using qel::Variant;

class Corrections : public qel::testing::StationFixture {
  protected:
    void SetUp() override {
        StationFixture::SetUp();
        sql("INSERT INTO FILIAL (CDFILIAL) VALUES ('0001')");
        sql("INSERT INTO PRODUTO (CDPRODUTO) VALUES ('P1'), ('P2'), ('P3')");
        sql("INSERT INTO IMPOSTO (CDIMPOSTO, IDTPIMPOSFIS, CDIMPOSTONFE) VALUES ('T18', 'T', "
            "'00')");
        rates("P1", "0", "1.65", "7.6");
    }

    void rates(const std::string& product, const std::string& reduction, const std::string& pis,
               const std::string& cofins) {
        sql("INSERT OR REPLACE INTO ALIQIMPFIS (CDFILIAL, CDPRODUTO, VRPERCREDUCAO, VRALIQPIS, "
            "VRALIQCOFINS) VALUES ('0001', :P, :R, :PIS, :COF)",
            {{"P", Variant(product)},
             {"R", Variant(reduction)},
             {"PIS", pis.empty() ? Variant::null() : Variant(pis)},
             {"COF", Variant(cofins)}});
    }

    // A sale of the station with the given states.
    void sale(const std::string& number, const std::string& situation, const char* status,
              const std::string& emission, const std::string& flag,
              const char* cancelKey = nullptr) {
        sql("INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, DTABERTUR, DTENTRVENDA, "
            "IDSITUVENDA, "
            "IDSTATUSNFCE, IDTPEMISVEND, IDIMPVENDA, NRACESSOCANC) VALUES ('0001', '001', :N, "
            "'2026-12-06 08:00:00.000', '2026-12-06 09:00:00.000', :S, :ST, :E, :F, :K)",
            {{"N", Variant(number)},
             {"S", Variant(situation)},
             {"ST", status ? Variant(status) : Variant::null()},
             {"E", Variant(emission)},
             {"F", Variant(flag)},
             {"K", cancelKey ? Variant(cancelKey) : Variant::null()}});
    }
    void item(const std::string& sale, const std::string& n, const std::string& product,
              double quantity, double price, double discount = 0, double surcharge = 0,
              const Variant& complement = Variant::null()) {
        sql("INSERT INTO ITEMVENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQUITVEND, CDPRODUTO, "
            "QTPRODVEND, VRUNITVEND, VRUNITVENDCL, VRDESITVEND, VRACRITVEND) VALUES ('0001', "
            "'001', :S, :I, :P, :Q, :U, :C, :D, :A)",
            {{"S", Variant(sale)},
             {"I", Variant(n)},
             {"P", Variant(product)},
             {"Q", Variant(quantity)},
             {"U", Variant(price)},
             {"C", complement},
             {"D", Variant(discount)},
             {"A", Variant(surcharge)}});
    }
    // A tax line of the item (the first by default) with a stored ICMS that
    // disagrees with the item.
    void taxLine(const std::string& sale, const std::string& n, double rate, double base = 10,
                 const std::string& line = "001") {
        sql("INSERT INTO ITVENDAIMPOS (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQUITVEND, NRSEQITIMPOS, "
            "CDIMPOSTO, VRPEALPRODIT, VRIMPOPRODIT, VRBCPISCOFINS, VRBASECALCREDUZ, "
            "VRIMPOPRODREDUZ, VRBCREDUZICMS, VRIMPPIS, VRIMPCOFINS) VALUES ('0001', '001', :S, :I, "
            ":L, 'T18', :R, 999, :B, 5, 5, 5, 5, 5)",
            {{"S", Variant(sale)},
             {"I", Variant(n)},
             {"L", Variant(line)},
             {"R", Variant(rate)},
             {"B", Variant(base)}});
    }
    double tax(const std::string& sale, const std::string& n, const std::string& line,
               const std::string& field) {
        return select("SELECT " + field + " FROM ITVENDAIMPOS WHERE NRSEQVENDA = '" + sale +
                      "' AND NRSEQUITVEND = '" + n + "' AND NRSEQITIMPOS = '" + line + "'")
            .field(std::size_t{0})
            .asFloat();
    }
    void movement(const std::string& sale, const std::string& n, double value) {
        sql("INSERT INTO MOVCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, NRSEQUMOVI, NRSEQVENDA, "
            "IDTIPOMOVIVE, VRMOVIVEND, IDIMPMOVCAIXA) VALUES ('0001', '001', "
            "'2026-12-06 08:00:00.000', :M, :S, 'X', :V, 'N')",
            {{"M", Variant(n)}, {"S", Variant(sale)}, {"V", Variant(value)}});
    }
    std::string movementTypes(const std::string& sale) {
        std::string types;
        Dataset d =
            select("SELECT IDTIPOMOVIVE FROM MOVCAIXA WHERE NRSEQVENDA = :S ORDER BY NRSEQUMOVI",
                   {{"S", Variant(sale)}});
        for (d.first(); !d.eof(); d.next()) types += d.field("IDTIPOMOVIVE").asString();
        return types;
    }
    std::string saleField(const std::string& sale, const std::string& field) {
        return scalar("SELECT " + field + " FROM VENDA WHERE NRSEQVENDA = '" + sale + "'");
    }
    double tax(const std::string& sale, const std::string& n, const std::string& field) {
        return select("SELECT " + field + " FROM ITVENDAIMPOS WHERE NRSEQVENDA = '" + sale +
                      "' AND NRSEQUITVEND = '" + n + "'")
            .field(std::size_t{0})
            .asFloat();
    }
    using Dataset = qel::Dataset;
};

TEST_F(Corrections, CancelledSalesWithoutStatusBecomeRejectedOnlyWhileWaiting) {
    sale("0000000001", "C", nullptr, "S", "I");
    sale("0000000002", "C", nullptr, "N", "A");
    sale("0000000003", "C", nullptr, "S", "S");  // exported: left alone
    sale("0000000004", "O", nullptr, "S", "I");  // not cancelled
    sale("0000000005", "C", nullptr, "P", "I");  // not an electronic type
    dm->setVendasSemStatus("0001", "001");
    EXPECT_EQ(saleField("0000000001", "IDSTATUSNFCE"), "R");
    EXPECT_EQ(saleField("0000000002", "IDSTATUSNFCE"), "R");
    EXPECT_EQ(saleField("0000000003", "IDSTATUSNFCE"), "");
    EXPECT_EQ(saleField("0000000004", "IDSTATUSNFCE"), "");
    EXPECT_EQ(saleField("0000000005", "IDSTATUSNFCE"), "");
    // The line is written even when nothing changed, at every run.
    dm->setVendasSemStatus("0001", "001");
    EXPECT_EQ(logLines(),
              (std::vector<std::string>{"Alterando vendas canceladas sem status para rejeitadas",
                                        "Alterando vendas canceladas sem status para rejeitadas"}));
}

TEST_F(Corrections, AcceptedCancelledSatSalesBecomeConcludedAndTheChangeMovementsLeave) {
    // Items 100.00; movements 100.00 and 20.00: half the excess is 10.00,
    // which no movement is worth.
    sale("0000000001", "C", "A", "S", "I");
    item("0000000001", "001", "P1", 2, 50);
    movement("0000000001", "000001", 100);
    movement("0000000001", "000002", 20);
    // Items 100.00; movements 100.00, 10.00 and 10.00: both 10.00 leave.
    sale("0000000002", "C", "A", "S", "A");
    item("0000000002", "001", "P1", 1, 100);
    movement("0000000002", "000003", 100);
    movement("0000000002", "000004", 10);
    movement("0000000002", "000005", 10);
    // Movements below the total (negative half-excess) and equal to it (0).
    sale("0000000003", "C", "A", "S", "I");
    item("0000000003", "001", "P1", 1, 100);
    movement("0000000003", "000006", 80);
    sale("0000000004", "C", "A", "S", "I");
    item("0000000004", "001", "P1", 3, 3.333);  // 9.99 after truncating each product
    movement("0000000004", "000007", 9.99);
    // Left alone: a cancellation document exists; already exported.
    sale("0000000005", "C", "A", "S", "I", "35201200000000000000000000000000000000000001");
    movement("0000000005", "000008", 10);
    sale("0000000006", "C", "A", "S", "S");
    movement("0000000006", "000009", 10);

    dm->setCorrigeVendasCanc("0001", "001");

    EXPECT_EQ(saleField("0000000001", "IDSITUVENDA"), "O");
    EXPECT_EQ(movementTypes("0000000001"), "EE");
    EXPECT_EQ(movementTypes("0000000002"), "ESS");
    EXPECT_EQ(movementTypes("0000000003"), "E");
    EXPECT_EQ(movementTypes("0000000004"), "E");
    EXPECT_EQ(saleField("0000000005", "IDSITUVENDA"), "C");
    EXPECT_EQ(movementTypes("0000000005"), "X");
    EXPECT_EQ(saleField("0000000006", "IDSITUVENDA"), "C");
    EXPECT_EQ(movementTypes("0000000006"), "X");
    EXPECT_EQ(
        logLines(),
        (std::vector<std::string>{
            "Alterando vendas SAT canceladas no sistema e aceitas na Sefaz para concluídas"}));

    // The second run finds nothing and writes nothing.
    dm->setCorrigeVendasCanc("0001", "001");
    EXPECT_EQ(logLines().size(), 1u);
}

TEST_F(Corrections, ASaleWithoutMovementsIsConcludedWithoutError) {
    sale("0000000001", "C", "A", "S", "I");
    item("0000000001", "001", "P1", 1, 10);
    dm->setCorrigeVendasCanc("0001", "001");
    EXPECT_EQ(saleField("0000000001", "IDSITUVENDA"), "O");
    EXPECT_EQ(logLines().size(), 1u);
}

TEST_F(Corrections, ItemTaxesAreRecomputedForWaitingSalesWhoseIcmsDisagrees) {
    rates("P2", "33.3333", "", "7.6");
    // 3 x 3.333 = 9.999 -> 9.99; 18 % -> 1.7982 -> 1.80.
    sale("0000000001", "O", "A", "S", "I");
    item("0000000001", "001", "P1", 3, 3.333);
    taxLine("0000000001", "001", 18, 10.0004);
    // Reduced base: B 1234.56 + 1.00 - 2.00 = 1233.56; R = Trunc2(1233.56 - 1233.56 * 0.333333)
    sale("0000000002", "O", "A", "N", "A");
    item("0000000002", "001", "P2", 1, 1234.56, 2, 1);
    taxLine("0000000002", "001", 12, 100);
    // Exported and pending-situation sales are not visited.
    sale("0000000003", "O", "A", "S", "S");
    item("0000000003", "001", "P1", 1, 10);
    taxLine("0000000003", "001", 18);
    sale("0000000004", "P", "A", "S", "I");
    item("0000000004", "001", "P1", 1, 10);
    taxLine("0000000004", "001", 18);

    dm->AjustaItVendaImpos();

    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "VRBASECALCICMS"), 9.99);
    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "VRIMPOPRODIT"), 1.80);
    // No reduction: the three reduction values are written as 0.
    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "VRBASECALCREDUZ"), 0);
    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "VRIMPOPRODREDUZ"), 0);
    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "VRBCREDUZICMS"), 0);
    // PIS/COFINS on the stored base rounded to 3 places (10.000) by the ABNT rule.
    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "VRBCPISCOFINS"), 10.0);
    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "VRIMPPIS"), 0.16);  // 0.165, even: down
    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "VRIMPCOFINS"), 0.76);

    EXPECT_DOUBLE_EQ(tax("0000000002", "001", "VRBASECALCICMS"), 1233.56);
    EXPECT_DOUBLE_EQ(tax("0000000002", "001", "VRBASECALCREDUZ"), 822.37);
    EXPECT_DOUBLE_EQ(tax("0000000002", "001", "VRIMPOPRODIT"), 148.03);
    EXPECT_DOUBLE_EQ(tax("0000000002", "001", "VRIMPOPRODREDUZ"), 98.68);
    EXPECT_NEAR(tax("0000000002", "001", "VRBCREDUZICMS"), 411.19, 1e-9);
    // Empty PIS rate: 0, while COFINS is computed.
    EXPECT_DOUBLE_EQ(tax("0000000002", "001", "VRIMPPIS"), 0);
    EXPECT_DOUBLE_EQ(tax("0000000002", "001", "VRIMPCOFINS"), 7.6);

    EXPECT_DOUBLE_EQ(tax("0000000003", "001", "VRIMPOPRODIT"), 999);
    EXPECT_DOUBLE_EQ(tax("0000000004", "001", "VRIMPOPRODIT"), 999);
    EXPECT_EQ(logLines(),
              (std::vector<std::string>{"AjustaItVendaImpos (RoundABNT) NRSEQVENDA:  0000000001",
                                        "Execute AjustaItVendaImpos",
                                        "AjustaItVendaImpos (RoundABNT) NRSEQVENDA:  0000000002",
                                        "Execute AjustaItVendaImpos"}));

    // The rounded sale agrees now and is not visited again. The truncating
    // sale's query compares with 148.02 while the recomputation rounds to
    // 148.03, so it is found again and rewritten with the same values.
    dm->AjustaItVendaImpos();
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[4], "AjustaItVendaImpos (RoundABNT) NRSEQVENDA:  0000000002");
    EXPECT_DOUBLE_EQ(tax("0000000002", "001", "VRIMPOPRODIT"), 148.03);
}

// The unit price is the price plus its complement, rounded to three places
// before it is multiplied, and the quantity is rounded to four; each
// rounding decides a cent of the truncated product here. The item columns
// are floating point, so that they hold more places than the roundings keep.
TEST_F(Corrections, ItemTaxesRoundPriceWithComplementToThreePlacesAndQuantityToFour) {
    sql("DROP TABLE ITEMVENDA");
    sql("CREATE TABLE ITEMVENDA (CDFILIAL CHAR(4), CDCAIXA CHAR(3), NRSEQVENDA CHAR(10), "
        "NRSEQUITVEND CHAR(3), CDPRODUTO CHAR(10), QTPRODVEND FLOAT, VRUNITVEND FLOAT, "
        "VRUNITVENDCL FLOAT, VRDESITVEND FLOAT, VRACRITVEND FLOAT)");
    sale("0000000001", "O", "A", "S", "I");
    // 10.0046 + 0.005 = 10.0096 -> 10.010; without the complement 10.005.
    item("0000000001", "001", "P1", 1, 10.0046, 0, 0, Variant(0.005));
    // 1.00045 -> 1.0005 (at three places 1.000); 1.0005 x (19.5 + 0.5) = 20.01.
    item("0000000001", "002", "P1", 1.00045, 19.5, 0, 0, Variant(0.5));
    // 2.0004 + 0.0001 = 2.0005, a half: up to 2.001; x 10 = 20.01.
    item("0000000001", "003", "P1", 10, 2.0004, 0, 0, Variant(0.0001));
    // 2.0004 + 0.00004 = 2.00044 -> 2.000; x 10 = 20.00.
    item("0000000001", "004", "P1", 10, 2.0004, 0, 0, Variant(0.00004));
    for (const char* n : {"001", "002", "003", "004"}) taxLine("0000000001", n, 18);

    dm->AjustaItVendaImpos();

    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "VRBASECALCICMS"), 10.01);
    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "VRIMPOPRODIT"), 1.80);  // 1.8018
    EXPECT_DOUBLE_EQ(tax("0000000001", "002", "VRBASECALCICMS"), 20.01);
    EXPECT_DOUBLE_EQ(tax("0000000001", "002", "VRIMPOPRODIT"), 3.60);  // 3.6018
    EXPECT_DOUBLE_EQ(tax("0000000001", "003", "VRBASECALCICMS"), 20.01);
    EXPECT_DOUBLE_EQ(tax("0000000001", "004", "VRBASECALCICMS"), 20.00);
    EXPECT_DOUBLE_EQ(tax("0000000001", "004", "VRIMPOPRODIT"), 3.60);
}

// Only an item's first tax line is rewritten, from that line's own rate and
// base; a second line of the item keeps what it holds.
TEST_F(Corrections, ASecondTaxLineIsLeftAsItIsAndLendsTheFirstNothing) {
    sale("0000000001", "O", "A", "S", "I");
    item("0000000001", "001", "P1", 1, 10);
    taxLine("0000000001", "001", 18, 10, "001");
    taxLine("0000000001", "001", 7, 50, "002");

    dm->AjustaItVendaImpos();

    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "001", "VRIMPOPRODIT"), 1.80);
    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "001", "VRBCPISCOFINS"), 10);
    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "001", "VRIMPPIS"), 0.16);
    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "002", "VRIMPOPRODIT"), 999);
    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "002", "VRBCPISCOFINS"), 50);
    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "002", "VRIMPPIS"), 5);
    EXPECT_EQ(logLines(),
              (std::vector<std::string>{"AjustaItVendaImpos (RoundABNT) NRSEQVENDA:  0000000001",
                                        "Execute AjustaItVendaImpos"}));
}

TEST_F(Corrections, ARateThatDoesNotParseStopsTheRunAndKeepsEarlierRows) {
    rates("P3", "0", "abc", "7.6");
    sale("0000000001", "O", "A", "S", "I");
    item("0000000001", "001", "P1", 1, 10);
    item("0000000001", "002", "P3", 1, 10);
    taxLine("0000000001", "001", 18);
    taxLine("0000000001", "002", 18);
    sale("0000000002", "O", "A", "S", "I");
    item("0000000002", "001", "P1", 1, 10);
    taxLine("0000000002", "001", 18);

    dm->AjustaItVendaImpos();

    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "VRIMPOPRODIT"), 1.80);
    EXPECT_DOUBLE_EQ(tax("0000000001", "002", "VRIMPOPRODIT"), 999);
    EXPECT_DOUBLE_EQ(tax("0000000002", "001", "VRIMPOPRODIT"), 999);
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "AjustaItVendaImpos (RoundABNT) NRSEQVENDA:  0000000001");
    EXPECT_EQ(lines[3].rfind("ERRO Except AjustaItVendaImpos: ", 0), 0u) << lines[3];
}

TEST_F(Corrections, EachRoutineLogsItsOwnErrorAndReturns) {
    sql("DROP TABLE MOVCAIXA");
    sale("0000000001", "C", "A", "S", "I");
    dm->setVendasSemStatus("0001", "001");
    dm->setCorrigeVendasCanc("0001", "001");
    sql("DROP TABLE ITVENDAIMPOS");
    dm->AjustaItVendaImpos();
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Alterando vendas canceladas sem status para rejeitadas");
    EXPECT_EQ(lines[1],
              "Alterando vendas SAT canceladas no sistema e aceitas na Sefaz para concluídas");
    EXPECT_EQ(lines[2].rfind("ERRO Except setCorrigeVendasCanc: ", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3].rfind("ERRO Except AjustaItVendaImpos: ", 0), 0u) << lines[3];
    // The sale's own update was committed before the movements failed.
    EXPECT_EQ(saleField("0000000001", "IDSITUVENDA"), "O");
}

}  // namespace

namespace {

// The corrections run before every export: on a station with years of
// history they must reach the few waiting sales through an index, never by
// reading every sale.
class CorrectionPlans : public qel::testing::StationFixture {};

TEST_F(CorrectionPlans, TheCorrectionsSearchTheWaitingSalesInsteadOfScanningHistory) {
    qel::simulator::Options o;
    o.stores = {"0001"};
    o.stations = 1;
    o.days = 6;
    o.startDate = "2026-11-01";
    o.salesPerDay = 300;
    o.pendingSales = 20;
    o.seed = 5;
    o.quiet = true;
    {
        qel::simulator::Database db((dir / "QELCAIXA.db").string());
        qel::simulator::fillStation(db.get(), o);  // with ANALYZE, as a real station has
    }
    const qel::db::Params params{{"CDFILIAL", Variant("0001")},
                                 {"CDCAIXA", Variant("001")},
                                 {"P_CDFILIAL", Variant("0001")},
                                 {"P_CDCAIXA", Variant("001")}};
    for (const char* name :
         {"acmUpdVendasSemStatus", "adqVendasCancAceitas", "adqAjuItVendaImpos"}) {
        const auto& st = qel::definitions::statement(name);
        qel::Dataset plan =
            dm->adcCaixa.query("EXPLAIN QUERY PLAN " + std::string(st.sqlite), params);
        for (plan.first(); !plan.eof(); plan.next()) {
            const std::string step = plan.field("detail").asString();
            EXPECT_NE(step.rfind("SCAN", 0), 0u) << name << ": " << step;
        }
    }
}

}  // namespace

namespace {

// Values below one on each side of the edges of the tax recomputation: a
// price or quantity under one keeps its sign, a reduction under one percent
// still reduces, and an item without reduction has none left over.
TEST_F(Corrections, ItemTaxesBelowOneAndReductionsUnderOnePercent) {
    rates("P2", "0.5", "1.65", "7.6");
    sale("0000000001", "O", "A", "S", "I");
    item("0000000001", "001", "P1", 1, 0.5);
    item("0000000001", "002", "P1", 0.5, 10);
    item("0000000001", "003", "P2", 1, 100);
    for (const char* n : {"001", "002", "003"}) taxLine("0000000001", n, 18);

    dm->AjustaItVendaImpos();

    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "VRBASECALCICMS"), 0.5);
    EXPECT_DOUBLE_EQ(tax("0000000001", "001", "VRIMPOPRODIT"), 0.09);
    EXPECT_DOUBLE_EQ(tax("0000000001", "002", "VRBASECALCICMS"), 5);
    EXPECT_DOUBLE_EQ(tax("0000000001", "002", "VRIMPOPRODIT"), 0.9);
    for (const char* n : {"001", "002"}) {
        EXPECT_DOUBLE_EQ(tax("0000000001", n, "VRBASECALCREDUZ"), 0) << n;
        EXPECT_DOUBLE_EQ(tax("0000000001", n, "VRIMPOPRODREDUZ"), 0) << n;
        EXPECT_DOUBLE_EQ(tax("0000000001", n, "VRBCREDUZICMS"), 0) << n;
    }
    EXPECT_DOUBLE_EQ(tax("0000000001", "003", "VRBASECALCICMS"), 100);
    EXPECT_DOUBLE_EQ(tax("0000000001", "003", "VRBASECALCREDUZ"), 99.5);
    EXPECT_DOUBLE_EQ(tax("0000000001", "003", "VRIMPOPRODREDUZ"), 17.91);
    EXPECT_DOUBLE_EQ(tax("0000000001", "003", "VRBCREDUZICMS"), 0.5);
}

// Change of less than one real given back still leaves the till.
TEST_F(Corrections, ChangeUnderOneRealLeavesTheTill) {
    sale("0000000001", "C", "A", "S", "I");
    item("0000000001", "001", "P1", 1, 10);
    movement("0000000001", "000001", 10);
    movement("0000000001", "000002", 0.5);
    movement("0000000001", "000003", 0.5);
    dm->setCorrigeVendasCanc("0001", "001");
    EXPECT_EQ(movementTypes("0000000001"), "ESS");
}

TEST_F(Corrections, TheStatusCorrectionLogsItsErrorInsteadOfItsWork) {
    sql("ALTER TABLE VENDA RENAME TO VENDA_OLD");
    dm->setVendasSemStatus("0001", "001");
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("ERRO Except setVendasSemStatus: ", 0), 0u) << lines[0];
}

}  // namespace
