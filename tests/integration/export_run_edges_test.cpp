// An export run seen from its edges: the reference dates every change check
// of the run carries, a transfer of a single sale, the corrections that run
// before the change check, and the names of the run's results.
#include <gtest/gtest.h>

#include <algorithm>

#include "export_fixture.h"

namespace {

using Lines = std::vector<std::string>;

class ExportRunEdges : public qel::testing::ExportFixture {
  protected:
    void run() { dm->EnviaVendas("0001", "001", "01", 1); }
    Lines linesStartingWith(const std::string& prefix) const {
        Lines found;
        for (const auto& line : logLines()) {
            if (line.rfind(prefix, 0) == 0) found.push_back(line.substr(prefix.size()));
        }
        return found;
    }
};

// The run reads its two reference dates once; every later change check,
// for each pending day and for all days, carries each in its own place.
TEST_F(ExportRunEdges, EveryChangeCheckOfTheRunCarriesBothReferenceDatesInTheirPlaces) {
    fillThreeDays(6);
    sql("UPDATE TURCAIXA SET IDATUTURCAIXA = 'I'");
    sql("DELETE FROM MOVICLIE");  // no movement: its date is the empty date
    run();
    ASSERT_TRUE(dm->outcome.succeeded());
    ASSERT_EQ(dm->outcome.transfers, 4);
    const Lines extract = linesStartingWith("Data da ultima alteração na EXTRATOCONS: ");
    const Lines movements = linesStartingWith("Data da ultima alteração na MOVICLIE: ");
    ASSERT_EQ(extract.size(), 4u);
    ASSERT_EQ(movements.size(), 4u);
    EXPECT_EQ(movements, Lines(4, "30/12/1899"));
    EXPECT_NE(extract[0], movements[0]);
    EXPECT_EQ(extract, Lines(4, extract[0]));
}

// A limit of one sale a transfer: the transfer that carried exactly one sale
// says so, as the driver that keeps exporting a backlog relies on.
TEST_F(ExportRunEdges, ATransferOfOneSaleCarriedSales) {
    fillThreeDays(3);
    sql("UPDATE TURCAIXA SET IDATUTURCAIXA = 'S'");
    sql("UPDATE PARAVEND SET NRVENDAEXP = '1'");
    run();
    ASSERT_TRUE(dm->outcome.succeeded());
    EXPECT_EQ(dm->outcome.transfers, 1);
    EXPECT_EQ(dm->outcome.salesSent, 1);
    EXPECT_TRUE(dm->outcome.lastTransferHadSales);
    // The decision is written after a blank line.
    const Lines lines = logLines();
    const auto decision =
        std::find(lines.begin(), lines.end(), "EXISTEM DADOS A SEREM EXPORTADOS.");
    ASSERT_NE(decision, lines.end());
    EXPECT_EQ(*(decision - 1), "");
}

// A SAT sale cancelled at the till but accepted by the tax authority is
// concluded before the change check looks for what to send.
TEST_F(ExportRunEdges, AcceptedCancelledSatSalesAreConcludedBeforeTheChangeCheck) {
    fillThreeDays(0);
    sql("INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, DTABERTUR, DTENTRVENDA, IDSITUVENDA, "
        "IDSTATUSNFCE, IDTPEMISVEND, IDIMPVENDA) VALUES ('0001', '001', '0000009001', "
        "'2026-12-06 08:00:00.000', '2026-12-06 00:00:00.000', 'C', 'A', 'S', 'I')");
    run();
    EXPECT_EQ(scalar("SELECT IDSITUVENDA FROM VENDA WHERE NRSEQVENDA = '0000009001'"), "O");
    const Lines lines = logLines();
    const auto corrected =
        std::find(lines.begin(), lines.end(),
                  "Alterando vendas SAT canceladas no sistema e aceitas na Sefaz para concluídas");
    const auto check = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("Data e Hora Atual", 0) == 0;
    });
    ASSERT_NE(corrected, lines.end());
    EXPECT_LT(corrected, check);
}

TEST_F(ExportRunEdges, CancelledSalesWithoutAStatusOfTheRunsOwnStationBecomeRejected) {
    fillThreeDays(0);
    // The run's own station, and another station of the store.
    for (const char* code : {"001", "002"}) {
        sql(std::string("INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, DTABERTUR, "
                        "DTENTRVENDA, IDSITUVENDA, IDSTATUSNFCE, IDTPEMISVEND, IDIMPVENDA) VALUES "
                        "('0001', '") +
            code +
            "', '0000009002', '2026-12-06 08:00:00.000', '2026-12-06 00:00:00.000', 'C', NULL, "
            "'N', 'I')");
    }
    run();
    EXPECT_EQ(scalar("SELECT IDSTATUSNFCE FROM VENDA WHERE CDCAIXA = '001' AND NRSEQVENDA = "
                     "'0000009002'"),
              "R");
    EXPECT_EQ(scalar("SELECT COALESCE(IDSTATUSNFCE, 'null') FROM VENDA WHERE CDCAIXA = '002' "
                     "AND NRSEQVENDA = '0000009002'"),
              "null");
}

// A store that answers the first row of every verification as missing.
class LosingStore : public qel::testing::FailingVerifyStore {
  public:
    using FailingVerifyStore::FailingVerifyStore;
    std::vector<std::optional<qel::Bytes>> getContents(
        const std::vector<qel::server::RowRef>& rows) override {
        auto contents = FailingVerifyStore::getContents(rows);
        if (!contents.empty()) contents[0].reset();
        return contents;
    }
};

// The summary counts what the server confirmed and what it did not, apart.
TEST_F(ExportRunEdges, RowsTheServerDoesNotConfirmAreCountedAsRefused) {
    stopServer();
    LosingStore losing(*realStore);
    app = std::make_unique<qel::server::ApplicationServer>(losing, clock);
    startServer();
    fillThreeDays(3);
    run();
    EXPECT_GT(dm->outcome.rowsRefused, 0);
    EXPECT_GT(dm->outcome.rowsConfirmed, 0);
    stopServer();
    app.reset();
}

TEST(RunOutcome, EveryResultHasItsName) {
    using Result = qel::agent::RunOutcome::Result;
    EXPECT_STREQ(qel::agent::resultName(Result::NotRun), "not run");
    EXPECT_STREQ(qel::agent::resultName(Result::NothingToExport), "nothing to export");
    EXPECT_STREQ(qel::agent::resultName(Result::Exported), "exported");
    EXPECT_STREQ(qel::agent::resultName(Result::ServerUnreachable), "server unreachable");
    EXPECT_STREQ(qel::agent::resultName(Result::Failed), "failed");
}

}  // namespace
