#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "../station_fixture.h"
#include "core/error.h"
#include "definitions/statement.h"
#include "selection/catalogue.h"

using qel::DateTime;
using qel::Variant;

namespace {

class ChangeCheck : public qel::testing::StationFixture {
  protected:
    // A sale of station 001 opened at `opened` (today unless said otherwise),
    // inserted at `inserted` (null when absent), closed at `closed`.
    void sale(const std::string& nr, DateTime opened, Variant inserted,
              const std::string& flag = "I", const std::string& situation = "O",
              Variant closed = Variant::null()) {
        sql("INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, DTABERTUR, DTENTRVENDA, DTINSERCAO,"
            " DTFECHAVENDA, IDIMPVENDA, IDSITUVENDA, VRTOTVENDA, CDVENDEDOR)"
            " VALUES ('0001', '001', :NR, :AB, :ENT, :INS, :FEC, :FLAG, :SIT, 12.34, 'V1')",
            {{"NR", Variant(nr)},
             {"AB", Variant(opened)},
             {"ENT", Variant(opened.date())},
             {"INS", inserted},
             {"FEC", closed},
             {"FLAG", Variant(flag)},
             {"SIT", Variant(situation)}});
        sql("INSERT INTO ITEMVENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQUITVEND, CDPRODUTO,"
            " QTPRODVEND, VRTOTITVEND) VALUES ('0001', '001', :NR, '001', 'P1', 1, 12.34)",
            {{"NR", Variant(nr)}});
    }

    DateTime at(int hour, int minute, int second = 0) const {
        return DateTime::fromDateTime(2026, 12, 6, hour, minute, second);
    }

    std::size_t rowsOf(std::size_t entry) const {
        return dm->PacotesExportacao.asArray().at(entry).asPacket().recordCount();
    }
    bool hasLine(const std::string& line) const {
        const auto lines = logLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

constexpr std::size_t kVenda = 16, kItemVenda = 18;

TEST_F(ChangeCheck, NothingPendingAnswersFalseAndLogsEveryEntry) {
    const DateTime extract = DateTime::fromDateTime(2026, 12, 5, 8, 30, 0);
    EXPECT_FALSE(dm->ExisteDadosExportar(extract, DateTime(0.0)));
    EXPECT_TRUE(dm->run.NrSeqVendaIni.empty());
    EXPECT_TRUE(dm->run.NrSeqVendaFin.empty());
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 48u);  // two lines for entry 0, one for each other entry
    EXPECT_EQ(lines[0], "Data e Hora Atual: 06/12/2026 10:00:00");
    EXPECT_EQ(lines[1], "Exportação da Tabela CONSUMIDOR: 0");
    EXPECT_EQ(lines[26], "Data da ultima alteração na EXTRATOCONS: 05/12/2026 08:30:00");
    EXPECT_EQ(lines[27], "Data da ultima alteração na MOVICLIE: 30/12/1899");
    EXPECT_EQ(lines[47], "Exportação da Tabela VALEPRESENTE: 0");
    const auto& packets = dm->PacotesExportacao.asArray();
    ASSERT_EQ(packets.size(), 47u);
    EXPECT_EQ(packets[25].asDateTime(), extract);
    EXPECT_EQ(packets[26].asDateTime(), DateTime(0.0));
}

TEST_F(ChangeCheck, WindowTakesTheOldestQualifyingSalesUpToTheLimit) {
    sale("0000000003", at(8, 0), Variant(at(8, 5)));
    sale("0000000001", at(9, 0), Variant(at(9, 5)));
    sale("0000000002", at(7, 0), Variant(at(7, 5)));
    sale("0000000004", at(6, 0), Variant(at(6, 5)), "S");       // exported
    sale("0000000005", at(5, 0), Variant(at(5, 5)), "I", "P");  // situation P
    dm->run.QtdMaxVendasExp = "2";
    EXPECT_TRUE(dm->ExisteDadosExportar(clock.now(), clock.now()));
    EXPECT_EQ(dm->run.NrSeqVendaIni, "0000000002");
    EXPECT_EQ(dm->run.NrSeqVendaFin, "0000000003");
    EXPECT_TRUE(hasLine("PRIMEIRA VENDA: 0000000002"));
    EXPECT_TRUE(hasLine("ÚLTIMA VENDA: 0000000003"));
    // The window is a range: sales 2 and 3 go, sale 1 waits for a later pass.
    EXPECT_EQ(rowsOf(kVenda), 2u);
    EXPECT_EQ(rowsOf(kItemVenda), 2u);
}

TEST_F(ChangeCheck, ASaleWaitsForTwoMinuteBoundariesOfItsInsertionOrClosingTime) {
    clock.set(at(10, 0, 30));
    sale("0000000001", at(9, 50), Variant(at(9, 58, 59)));  // 2 boundaries: goes
    sale("0000000002", at(9, 51), Variant(at(9, 59, 0)));   // 1 boundary: waits
    sale("0000000003", at(9, 52), Variant::null(), "I", "O",
         Variant(at(9, 58, 0)));  // closing time
    sale("0000000004", at(9, 53), Variant::null(), "I", "O", Variant(at(9, 59, 59)));
    EXPECT_TRUE(dm->ExisteDadosExportar(clock.now(), clock.now()));
    EXPECT_EQ(dm->run.NrSeqVendaIni, "0000000001");
    EXPECT_EQ(dm->run.NrSeqVendaFin, "0000000003");
    EXPECT_EQ(rowsOf(kVenda), 2u);  // sale 2 lies inside the range but is too young

    clock.set(at(10, 1, 0));
    dm->ExisteDadosExportar(clock.now(), clock.now());
    EXPECT_EQ(dm->run.NrSeqVendaFin, "0000000004");
    EXPECT_EQ(rowsOf(kVenda), 4u);
}

TEST_F(ChangeCheck, DayFilterLeavesOtherDaysOut) {
    sale("0000000001", DateTime::fromDateTime(2026, 12, 5, 9, 0, 0), Variant(at(8, 0)));
    sale("0000000002", at(9, 0), Variant(at(9, 1)));
    dm->run.FiltroDtMovim = "05/12/2026";
    EXPECT_TRUE(dm->ExisteDadosExportar(clock.now(), clock.now()));
    EXPECT_EQ(dm->run.NrSeqVendaIni, "0000000001");
    EXPECT_EQ(dm->run.NrSeqVendaFin, "0000000001");
    EXPECT_EQ(rowsOf(kVenda), 1u);

    dm->run.FiltroDtMovim = "04/12/2026";
    dm->ExisteDadosExportar(clock.now(), clock.now());
    EXPECT_TRUE(dm->run.NrSeqVendaIni.empty());
    EXPECT_EQ(rowsOf(kVenda), 0u);
    EXPECT_EQ(rowsOf(kItemVenda), 0u);
    EXPECT_EQ(rowsOf(33), 2u);  // the sales summary has no day rule
}

TEST_F(ChangeCheck, SnapshotSelectionsAloneMakeTheAnswerTrue) {
    sql("INSERT INTO PRODBLOQVNDTAA (CDFILIAL, CDLOJA, CDPRODUTO) VALUES ('0001', '01', 'P1')");
    EXPECT_TRUE(dm->ExisteDadosExportar(clock.now(), clock.now()));
    EXPECT_EQ(rowsOf(39), 1u);
    EXPECT_TRUE(dm->ExisteDadosExportar(clock.now(), clock.now()));  // every pass
}

TEST_F(ChangeCheck, AlteredSaleGoesWithoutItsItems) {
    sale("0000000001", at(9, 0), Variant(at(9, 1)), "A");
    EXPECT_TRUE(dm->ExisteDadosExportar(clock.now(), clock.now()));
    EXPECT_EQ(rowsOf(kVenda), 1u);
    EXPECT_EQ(rowsOf(kItemVenda), 0u);
}

TEST_F(ChangeCheck, SalesDeliverFloatsWhereTheCatalogueSaysSo) {
    sale("0000000001", at(9, 0), Variant(at(9, 1)));
    dm->ExisteDadosExportar(clock.now(), clock.now());
    const qel::Dataset& sales = dm->PacotesExportacao.asArray()[kVenda].asPacket();
    const auto& total = sales.fields()[sales.fieldIndex("VRTOTVENDA")];
    EXPECT_EQ(total.type, qel::FieldType::Float);
    ASSERT_EQ(sales.recordCount(), 1u);
    EXPECT_DOUBLE_EQ(sales.rows()[0][sales.fieldIndex("VRTOTVENDA")].asFloat(), 12.34);
    EXPECT_TRUE(qel::agent::deliversFloatingPoint("adqCliMoviClie"));
    EXPECT_FALSE(qel::agent::deliversFloatingPoint("adqCliPromoVenda"));
}

TEST_F(ChangeCheck, NfceCountersBindTheStationsSeriesCode) {
    sql("INSERT INTO CAIXA (CDFILIAL, CDCAIXA, CDLOJA, CDSERIECX) VALUES ('0001', '001', '01', "
        "'009')");
    sql("INSERT INTO NOVOCODIGO (CDCONTADOR) VALUES ('NFCE10001009'), ('NFCE10001001')");
    dm->ExisteDadosExportar(clock.now(), clock.now());
    const qel::Dataset& counters = dm->PacotesExportacao.asArray()[9].asPacket();
    ASSERT_EQ(counters.recordCount(), 1u);
    EXPECT_EQ(counters.rows()[0][counters.fieldIndex("CDCONTADOR")].asString(), "NFCE10001009");

    sql("UPDATE CAIXA SET CDSERIECX = '  '");  // blank series: the station code
    dm->ExisteDadosExportar(clock.now(), clock.now());
    const qel::Dataset& stationCounters = dm->PacotesExportacao.asArray()[9].asPacket();
    ASSERT_EQ(stationCounters.recordCount(), 1u);
    EXPECT_EQ(stationCounters.rows()[0][0].asString(), "NFCE10001001");
}

TEST_F(ChangeCheck, SituationPStaysOutButForItsReversalAndTheSummary) {
    sale("0000000001", at(8, 0), Variant(at(8, 1)));
    sale("0000000002", at(8, 10), Variant(at(8, 11)), "I", "P");
    sale("0000000003", at(8, 20), Variant(at(8, 21)));
    sql("INSERT INTO ESTORNOVND (CDFILIAL, CDCAIXA, NRSEQVENDA, IDIMPESTVND)"
        " VALUES ('0001', '001', '0000000002', 'N')");
    dm->ExisteDadosExportar(clock.now(), clock.now());
    EXPECT_EQ(rowsOf(kVenda), 2u);
    EXPECT_EQ(rowsOf(kItemVenda), 2u);
    EXPECT_EQ(rowsOf(24), 1u);  // the reversal of the excluded sale goes
    const qel::Dataset& summary = dm->PacotesExportacao.asArray()[33].asPacket();
    ASSERT_EQ(summary.recordCount(), 1u);
    EXPECT_EQ(summary.rows()[0][summary.fieldIndex("QTVENDASMSDE")].asInteger(), 3);
}

// A refund whose sale is already exported (its own acknowledgement failed,
// or it was made later) goes at the next check, wherever the window lies
// and also when no sale waits; a refund of a waiting sale goes with it.
TEST_F(ChangeCheck, ARefundOfAnExportedSaleGoesWhateverTheWindow) {
    const auto refund = [this](const std::string& nr, const std::string& flag) {
        sql("INSERT INTO ESTORNOVND (CDFILIAL, CDCAIXA, NRSEQVENDA, IDIMPESTVND)"
            " VALUES ('0001', '001', :NR, :F)",
            {{"NR", Variant(nr)}, {"F", Variant(flag)}});
    };
    const auto refunds = [this] {
        const qel::Dataset& d = dm->PacotesExportacao.asArray()[24].asPacket();
        std::string out;
        for (const auto& row : d.rows()) out += row[d.fieldIndex("NRSEQVENDA")].asString() + " ";
        return out;
    };
    sale("0000000001", at(8, 0), Variant(at(8, 1)), "S");    // exported, refund waits
    sale("0000000002", at(8, 10), Variant(at(8, 11)), "S");  // exported, refund sent
    sale("0000000003", at(8, 20), Variant(at(8, 21)));       // waiting: the window
    sale("0000000004", at(8, 30), Variant(at(8, 31)));       // waiting, past the limit
    refund("0000000001", "N");
    refund("0000000002", "S");
    refund("0000000004", "N");
    dm->run.QtdMaxVendasExp = "1";
    EXPECT_TRUE(dm->ExisteDadosExportar(clock.now(), clock.now()));
    EXPECT_EQ(dm->run.NrSeqVendaIni, "0000000003");
    EXPECT_EQ(refunds(), "0000000001 ");

    sql("UPDATE VENDA SET IDIMPVENDA = 'S'");  // no sale waits: the window is empty
    sql("DELETE FROM ITEMVENDA");
    EXPECT_TRUE(dm->ExisteDadosExportar(clock.now(), clock.now()));
    EXPECT_TRUE(dm->run.NrSeqVendaIni.empty());
    EXPECT_EQ(refunds(), "0000000001 0000000004 ");
}

// Every refund of a station's history is kept and nearly all are sent: the
// refund selection must reach the waiting ones without reading the others,
// either by the sale numbers of the window or through an index that holds
// only waiting refunds.
TEST_F(ChangeCheck, TheRefundSelectionReadsOnlyWaitingRefunds) {
    for (int i = 1; i <= 200; ++i) {
        char nr[11];
        std::snprintf(nr, sizeof nr, "%010d", i);
        sale(nr, at(8, 0), Variant(at(8, 1)), "S");
        sql("INSERT INTO ESTORNOVND (CDFILIAL, CDCAIXA, NRSEQVENDA, IDIMPESTVND)"
            " VALUES ('0001', '001', :NR, 'S')",
            {{"NR", Variant(std::string(nr))}});
    }
    sql("ANALYZE");
    const auto& st = qel::definitions::statement("adqCliEstornovnd");
    const qel::db::Params params{{"P_CDFILIAL", Variant("0001")},
                                 {"P_CDCAIXA", Variant("001")},
                                 {"P_DTMOVIM", Variant("T")},
                                 {"P_NRSEQVENDAINI", Variant("")},
                                 {"P_NRSEQVENDAFIN", Variant("")}};
    qel::Dataset plan = dm->adcCaixa.query("EXPLAIN QUERY PLAN " + std::string(st.sqlite), params);
    bool refundsRead = false;
    for (plan.first(); !plan.eof(); plan.next()) {
        const std::string step = plan.field("detail").asString();
        if ((step + " ").find(" E ") == std::string::npos) continue;  // a step on the sales
        refundsRead = true;
        EXPECT_NE(step.rfind("SCAN", 0), 0u) << step;
        const auto using_ = step.find("USING INDEX ");
        ASSERT_NE(using_, std::string::npos) << step;
        const std::string index =
            step.substr(using_ + 12, step.find(' ', using_ + 12) - using_ - 12);
        qel::Dataset ddl =
            dm->adcCaixa.query("SELECT sql FROM sqlite_master WHERE type = 'index' AND name = :N",
                               {{"N", Variant(index)}});
        const bool partial = !ddl.eof() && !ddl.field("sql").isNull() &&
                             ddl.field("sql").asString().find("WHERE") != std::string::npos;
        EXPECT_TRUE(partial || step.find("NRSEQVENDA=?") != std::string::npos) << step;
    }
    EXPECT_TRUE(refundsRead);
}

TEST_F(ChangeCheck, StoredOrdersWaitThirtyMinuteBoundariesUnlessNeverUpdated) {
    sql("INSERT INTO PEDIDOQEL (CDFILIAL, NRPEDIDOQEL, IDSTATUSPEDQEL, DTULTATU, IDIMPPEDIDOQEL)"
        " VALUES ('0001', '0000000001', '4', :OLD, 'N'), ('0001', '0000000002', '4', :NEW, 'N'),"
        " ('0001', '0000000003', '4', NULL, 'N'), ('0001', '0000000004', '2', NULL, 'N'),"
        " ('0002', '0000000005', '4', NULL, 'N')",
        {{"OLD", Variant(at(9, 30))}, {"NEW", Variant(at(9, 30, 1).addMinutes(1))}});
    dm->ExisteDadosExportar(clock.now(), clock.now());
    const qel::Dataset& orders = dm->PacotesExportacao.asArray()[7].asPacket();
    std::vector<std::string> numbers;
    for (const auto& row : orders.rows())
        numbers.push_back(row[orders.fieldIndex("NRPEDIDOQEL")].asString());
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(numbers, (std::vector<std::string>{"0000000001", "0000000003"}));
}

TEST_F(ChangeCheck, ANonNumericSalesLimitFailsTheCheck) {
    dm->run.QtdMaxVendasExp = "cem";
    EXPECT_THROW(dm->ExisteDadosExportar(clock.now(), clock.now()), qel::ConversionError);
}

TEST_F(ChangeCheck, AfterOpenCopiesFollowTheLastOpening) {
    sale("0000000001", at(9, 0), Variant(at(9, 1)));
    sql("INSERT INTO ARQCAT52 (CDFILIAL, CDCAIXA, NRSERIECAT52, DTMOVCAT52, IDIMPTCAT52)"
        " VALUES ('0001', '001', 'S1', '2026-12-05 00:00:00.000', 'N')");
    dm->ExisteDadosExportar(clock.now(), clock.now());
    EXPECT_EQ(dm->copies.cdsCliArqCat52.recordCount(), 1u);
    sql("UPDATE ARQCAT52 SET IDIMPTCAT52 = 'S'");
    dm->ExisteDadosExportar(clock.now(), clock.now());
    EXPECT_EQ(dm->copies.cdsCliArqCat52.recordCount(), 0u);
}

// Every run-log line is written; only those that begin with the error
// prefix are also kept for the run's outcome, and no more than a hundred.
TEST_F(ChangeCheck, ErrorLinesAreKeptForTheOutcomeUpToAHundred) {
    dm->GravaLog("ERRO Except EnviaVendas: primeiro");
    dm->GravaLog("Erro Except EnviaVendas: other case");
    dm->GravaLog(" ERRO Except EnviaVendas: not at the start");
    dm->GravaLog("Exportacao realizada");
    EXPECT_EQ(dm->outcome.errors, (std::vector<std::string>{"ERRO Except EnviaVendas: primeiro"}));
    for (int i = 2; i <= 101; ++i) dm->GravaLog("ERRO Except EnviaVendas: " + std::to_string(i));
    ASSERT_EQ(dm->outcome.errors.size(), 100u);
    EXPECT_EQ(dm->outcome.errors.back(), "ERRO Except EnviaVendas: 100");
    EXPECT_TRUE(hasLine("ERRO Except EnviaVendas: 101"));
    EXPECT_TRUE(hasLine("Exportacao realizada"));
}

}  // namespace

namespace {

// The window of one check never lingers into the next: once the sales are
// exported, the next check has no window and sends no sale.
TEST_F(ChangeCheck, ACheckAfterTheSalesLeftHasNoWindow) {
    sale("0000000001", at(8, 0), Variant(at(8, 5)));
    sale("0000000002", at(9, 0), Variant(at(9, 5)));
    EXPECT_TRUE(dm->ExisteDadosExportar(clock.now(), clock.now()));
    EXPECT_EQ(dm->run.NrSeqVendaFin, "0000000002");
    sql("UPDATE VENDA SET IDIMPVENDA = 'S'");
    dm->ExisteDadosExportar(clock.now(), clock.now());
    EXPECT_EQ(dm->run.NrSeqVendaIni, "");
    EXPECT_EQ(dm->run.NrSeqVendaFin, "");
    EXPECT_EQ(rowsOf(kVenda), 0u);
}

}  // namespace
