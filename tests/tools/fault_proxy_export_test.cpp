// A real station exporting through the fault proxy: a call of the transfer
// breaks at a chosen point, nothing is flagged that the server does not
// hold, and the next export run sends what is missing.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "consistency_check.h"
#include "export_fixture.h"
#include "fault_proxy/fault_proxy.h"

namespace qel::faults {
namespace {

using ::testing::HasSubstr;

class ExportThroughProxy : public testing::ExportFixture {
  protected:
    void SetUp() override {
        ExportFixture::SetUp();
        simulate(4, 6);
        // Rows the simulator wrote as exported long ago: never sent here.
        exportedBefore = chaos::readExportedRows(*station, kDatabase);
        proxy = std::make_unique<FaultProxy>("127.0.0.1", port, 5);
        writeRegistry("IPServer = 127.0.0.1:" + std::to_string(proxy->port()) + "\n");
    }
    void TearDown() override {
        dm->net.netInsereServidor.close();
        dm->net.netAjuste.close();
        dm->net.netAtualizaPontuacao.close();
        proxy.reset();
        ExportFixture::TearDown();
    }

    void run() { dm->EnviaVendas("0001", "001", "01", 1); }
    std::int64_t count(const std::string& query) { return std::stoll(scalar(query)); }
    std::int64_t pendingSales() {
        return count(
            "SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA IN ('I','A') AND IDSITUVENDA <> 'P'");
    }
    std::int64_t flaggedSales() {
        return count("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA = 'S'");
    }

    // One run whose call number `callsBefore + 1` meets the fault, then a clean run.
    void faultyThenClean(ProxyFault fault, int callsBefore, const std::string& error) {
        const std::int64_t pending = pendingSales();
        const std::int64_t flaggedBefore = flaggedSales();
        ASSERT_GT(pending, 0);
        for (int i = 0; i < callsBefore; ++i) proxy->arm(ProxyFault::None);
        proxy->arm(fault);
        run();
        EXPECT_EQ(proxy->fired()[fault], 1);
        const auto errors = errorLines();
        ASSERT_FALSE(errors.empty());
        EXPECT_THAT(errors.front(), HasSubstr("ERRO Except ExportaDados"));
        EXPECT_THAT(errors.front(), HasSubstr(error));
        EXPECT_EQ(flaggedRowsNotHeld(), std::vector<std::string>{});
        EXPECT_EQ(scalar("PRAGMA integrity_check"), "ok");

        clock.advance(std::chrono::minutes(5));
        run();
        EXPECT_EQ(pendingSales(), 0);
        EXPECT_EQ(realStore->rowCount("VENDA"), pending);
        EXPECT_EQ(flaggedSales() - flaggedBefore, pending);
        EXPECT_EQ(flaggedRowsNotHeld(), std::vector<std::string>{});
        EXPECT_EQ(chaos::pendingRows(*station), std::vector<std::string>{});
        EXPECT_EQ(proxy->armedCount(), 0u);
    }

    // Every row this test's runs flagged that the server does not hold with
    // the same content.
    std::vector<std::string> flaggedRowsNotHeld() {
        return chaos::rowsNotHeld(
            chaos::readExportedRows(*station, kDatabase).without(exportedBefore), *realStore);
    }

    // How the open server files rows whose key does not name their station.
    static constexpr std::string_view kDatabase = "0001/001";
    chaos::ExportedRows exportedBefore;
    std::unique_ptr<FaultProxy> proxy;
};

// setInsereServidor is the run's first call: the server stores the sales,
// the answer never arrives, so the run cannot know and flags nothing from it.
TEST_F(ExportThroughProxy, AnAnswerLostAfterTheServerStoredTheSalesFlagsNothingFromIt) {
    faultyThenClean(ProxyFault::CutAfterCommit, 0, "no complete answer");
}

// getVerificaExportacao is the fourth: its verdicts arrive cut or damaged.
TEST_F(ExportThroughProxy, VerdictsCutMidAnswerLeaveNothingFlaggedThatTheServerLacks) {
    faultyThenClean(ProxyFault::CutMidAnswer, 3, "getVerificaExportacao");
}

TEST_F(ExportThroughProxy, DamagedVerdictsLeaveNothingFlaggedThatTheServerLacks) {
    faultyThenClean(ProxyFault::MalformedAnswer, 3, "answered garbage");
}

TEST_F(ExportThroughProxy, TruncatedVerdictsLeaveNothingFlaggedThatTheServerLacks) {
    faultyThenClean(ProxyFault::PartialAnswer, 3, "answered garbage");
}

}  // namespace
}  // namespace qel::faults
