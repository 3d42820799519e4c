#include <gtest/gtest.h>

#include <fstream>

#include "export_fixture.h"

namespace {

using Lines = std::vector<std::string>;

class ExportRun : public qel::testing::ExportFixture {
  protected:
    void runWithoutAdjustment(int tipoImpFis);
    void run(int tipoImpFis = 1) { dm->EnviaVendas("0001", "001", "01", tipoImpFis); }

    // The day of each transfer, in order.
    Lines transferDays() const {
        const std::string start = "Início da exportação das vendas para o servidor: ";
        Lines days;
        for (const auto& line : logLines()) {
            if (line.rfind(start, 0) == 0) days.push_back(line.substr(start.size()));
        }
        return days;
    }
    bool logged(const std::string& text) const {
        const Lines lines = logLines();
        return std::find(lines.begin(), lines.end(), text) != lines.end();
    }
    bool loggedPrefix(const std::string& prefix) const {
        for (const auto& line : logLines()) {
            if (line.rfind(prefix, 0) == 0) return true;
        }
        return false;
    }
};

const std::string kHeader =
    "****************** INÍCIO DA GRAVAÇÃO DOS DADOS NO SERVIDOR *******************";
const std::string kSuccess = "EXPORTAÇÃO REALIZADA COM SUCESSO";
const std::string kDisconnected = "netInsereServidor foi desconectado do servidor.";

TEST_F(ExportRun, NoPendingDayMakesOneTransferForAllDays) {
    fillThreeDays(4);
    sql("UPDATE TURCAIXA SET IDATUTURCAIXA = 'S'");
    sql("UPDATE ARQCAT52 SET IDIMPTCAT52 = 'I'");
    run();
    EXPECT_EQ(transferDays(), Lines{"07/12/2026"});
    EXPECT_EQ(dm->run.FiltroDtMovim, "T");
    EXPECT_EQ(dm->outcome.result, qel::agent::RunOutcome::Result::Exported);
    EXPECT_TRUE(dm->outcome.succeeded())
        << (dm->outcome.errors.empty() ? "" : dm->outcome.errors[0]);
    EXPECT_EQ(dm->outcome.transfers, 1);
    EXPECT_EQ(dm->outcome.salesSent, 3);  // the fourth is open at the till
    EXPECT_GT(dm->outcome.rowsConfirmed, 4);
    // Sales open at the till (situation 'P') wait for their end.
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA <> 'S' AND IDSITUVENDA <> 'P'"),
              "0");

    // Every fixed line of the run, byte for byte, in its place.
    const Lines lines = logLines();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(
        Lines(lines.begin(), lines.begin() + 6),
        (Lines{"", kHeader, "FILIAL: 0001", "CAIXA: 001", "LOJA: 01", std::string(126, '*')}));
    EXPECT_TRUE(logged("QUANTIDADE DE VENDAS MÁXIMA POR EXPORTAÇÃO: 100"));
    const auto success = std::find(lines.begin(), lines.end(), kSuccess);
    ASSERT_NE(success, lines.end());
    EXPECT_EQ(*(success - 1), std::string(85, '='));
    EXPECT_EQ(*(success + 1), std::string(85, '='));
    EXPECT_EQ(*(success - 1), *(success + 1));
    EXPECT_EQ(lines.back(), kDisconnected);
    // The adjustment ran once per fiscal-file day, then the connection closed.
    EXPECT_EQ(std::to_string(realStore->requestCount("AJUSTE")),
              scalar("SELECT COUNT(*) FROM ARQCAT52"));
    EXPECT_GT(realStore->requestCount("AJUSTE"), 0);

    // The log is Windows-1252 on disk.
    std::ifstream in(runLog->fileFor(clock.now()), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    const std::string raw = content.str();
    EXPECT_NE(raw.find(" - EXPORTA\xC7\xC3O REALIZADA COM SUCESSO\r\n"), std::string::npos);
}

TEST_F(ExportRun, ThreePendingDaysMakeFourTransfersInAscendingOrder) {
    fillThreeDays(6);
    sql("UPDATE TURCAIXA SET IDATUTURCAIXA = 'I'");
    sql("UPDATE PARAVEND SET NRVENDAEXP = '2'");
    run();
    EXPECT_EQ(transferDays(), (Lines{"03/12/2026", "04/12/2026", "05/12/2026", "07/12/2026"}));
    EXPECT_EQ(dm->run.FiltroDtMovim, "T");
    EXPECT_EQ(dm->run.QtdMaxVendasExp, "2");
    EXPECT_TRUE(logged("QUANTIDADE DE VENDAS MÁXIMA POR EXPORTAÇÃO: 2"));
    EXPECT_EQ(dm->outcome.transfers, 4);
    EXPECT_TRUE(dm->outcome.succeeded());
    // The change check ran once to decide and once before each later transfer.
    const Lines lines = logLines();
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const std::string& l) { return l.rfind("Data e Hora Atual", 0) == 0; }),
        4);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA <> 'S' AND IDSITUVENDA <> 'P'"),
              "0");
}

void ExportRun::runWithoutAdjustment(int tipoImpFis) {
    fillThreeDays(2);
    sql("UPDATE ARQCAT52 SET IDIMPTCAT52 = 'I'");
    run(tipoImpFis);
    EXPECT_TRUE(logged(kSuccess));
    EXPECT_TRUE(dm->outcome.succeeded());
    EXPECT_EQ(realStore->requestCount("AJUSTE"), 0);
}

TEST_F(ExportRun, AdjustmentSkippedForFiscalType24) {
    runWithoutAdjustment(24);
}
TEST_F(ExportRun, AdjustmentSkippedForFiscalType29) {
    runWithoutAdjustment(29);
}

TEST_F(ExportRun, NothingToExportNeverContactsTheServer) {
    stopServer();  // a connection attempt would write its error line
    run();
    const Lines lines = logLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "");
    EXPECT_EQ(lines.back(), "NÃO EXISTEM DADOS A SEREM EXPORTADOS.");
    EXPECT_FALSE(loggedPrefix("ERRO"));
    EXPECT_FALSE(logged(kDisconnected));
    EXPECT_EQ(realStore->requestCount("AJUSTE"), 0);
    EXPECT_EQ(dm->outcome.result, qel::agent::RunOutcome::Result::NothingToExport);
    EXPECT_TRUE(dm->outcome.succeeded());
    EXPECT_EQ(dm->outcome.transfers, 0);

    // The second run of the day does the same.
    run();
    EXPECT_EQ(logLines().back(), "NÃO EXISTEM DADOS A SEREM EXPORTADOS.");
}

TEST_F(ExportRun, UnreachableStationDatabaseWritesOneErrorLine) {
    std::ofstream(dir / "registry.conf")
        << "[HKEY_LOCAL_MACHINE\\Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]\n"
        << "StringConexao = Provider=SQLite;Initial Catalog=QELCAIXA;Data Source="
        << (dir / "gone").string() << "\nIPServer = 127.0.0.1:" << port << "\n";
    run();
    const Lines lines = logLines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[5], std::string(126, '*'));
    EXPECT_EQ(lines[6].rfind("ERRO Except EnviaVendas: Filial: 0001 Caixa: 001 Erro: ", 0), 0u)
        << lines[6];
    EXPECT_EQ(dm->outcome.result, qel::agent::RunOutcome::Result::Failed);
    EXPECT_FALSE(dm->outcome.succeeded());
}

TEST_F(ExportRun, ServerDownLogsTheConnectionAndNoSuccess) {
    fillThreeDays(3);
    stopServer();
    run();
    EXPECT_TRUE(logged("EXISTEM DADOS A SEREM EXPORTADOS."));
    EXPECT_TRUE(
        loggedPrefix("ERRO Except EnviaVendas: Não foi possível estabelecer uma conexão com "
                     "o servidor. (setInsereServidor) - "));
    EXPECT_FALSE(logged(kSuccess));
    EXPECT_FALSE(logged(kDisconnected));
    EXPECT_TRUE(transferDays().empty());
    EXPECT_EQ(dm->outcome.result, qel::agent::RunOutcome::Result::ServerUnreachable);
    EXPECT_FALSE(dm->outcome.succeeded());
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA <> 'S'"), "3");
}

TEST_F(ExportRun, FirstExportMarksOnceAndEmptyTablesGiveTheReferenceDates) {
    fillThreeDays(2);
    sql("UPDATE CAIXA SET IDPRIMVEZEXPON = 'S'");
    sql("DELETE FROM EXTRATOCONS");
    sql("DELETE FROM MOVICLIE");
    stopServer();
    run();
    // The first-time marking flags the station's existing rows as exported.
    EXPECT_EQ(scalar("SELECT IDPRIMVEZEXPON FROM CAIXA"), "N");
    EXPECT_TRUE(logged("Data da ultima alteração na EXTRATOCONS: " + clock.now().toText()));
    EXPECT_TRUE(logged("Data da ultima alteração na MOVICLIE: " + qel::DateTime(0).toText()));
}

TEST_F(ExportRun, StopsAfterAFailedTransferWhenAsked) {
    fillThreeDays(6);
    sql("UPDATE TURCAIXA SET IDATUTURCAIXA = 'I'");
    store->failVerify = true;
    dm->stopAtFailedTransfer = true;
    run();
    EXPECT_EQ(transferDays(), Lines{"03/12/2026"});
    EXPECT_EQ(dm->outcome.failedTransfers, 1);
    EXPECT_FALSE(dm->outcome.succeeded());
    EXPECT_FALSE(logged(kSuccess));
    EXPECT_TRUE(logged(kDisconnected));

    // The resident agent's run goes on with every transfer.
    dm->stopAtFailedTransfer = false;
    run();
    EXPECT_EQ(transferDays().size(), 5u);
    EXPECT_EQ(dm->outcome.failedTransfers, 4);
    EXPECT_TRUE(logged(kSuccess));
}

// The summary counts the verdicts of this run's verifications only: a run
// whose verification fails confirms nothing, though the verdicts of the run
// before are still at hand.
TEST_F(ExportRun, ARunWhoseVerificationFailsConfirmsNothing) {
    fillThreeDays(6);
    run();
    ASSERT_TRUE(dm->outcome.succeeded());
    EXPECT_GT(dm->outcome.rowsConfirmed, 4);
    EXPECT_EQ(dm->outcome.rowsRefused, 0);

    sql("UPDATE VENDA SET IDIMPVENDA = 'A' WHERE NRSEQVENDA IN (SELECT MIN(NRSEQVENDA) FROM "
        "VENDA)");
    store->failVerify = true;
    run();
    EXPECT_EQ(dm->outcome.failedTransfers, dm->outcome.transfers);
    EXPECT_GT(dm->outcome.rowsSent, 0);
    EXPECT_EQ(dm->outcome.rowsConfirmed, 0);
    EXPECT_EQ(dm->outcome.rowsRefused, 0);

    store->failVerify = false;
    run();
    EXPECT_TRUE(dm->outcome.succeeded());
    EXPECT_GT(dm->outcome.rowsConfirmed, 0);
}

// A store without a sales limit gets the limit of one hundred, whether the
// value is missing or written empty; a limit it has is taken as written.
TEST_F(ExportRun, AnEmptySalesLimitIsAHundred) {
    stopServer();
    const std::string limitLine = "QUANTIDADE DE VENDAS MÁXIMA POR EXPORTAÇÃO: ";
    sql("INSERT INTO PARAVEND (CDFILIAL, NRVENDAEXP) VALUES ('0001', NULL)");
    for (const char* limit : {"NULL", "''", "'7'"}) {
        SCOPED_TRACE(limit);
        sql(std::string("UPDATE PARAVEND SET NRVENDAEXP = ") + limit);
        dm->run.QtdMaxVendasExp = "stale";
        run();
        const std::string expected = std::string(limit) == "'7'" ? "7" : "100";
        EXPECT_EQ(dm->run.QtdMaxVendasExp, expected);
        std::string written;
        for (const auto& line : logLines()) {
            if (line.rfind(limitLine, 0) == 0) written = line;
        }
        EXPECT_EQ(written, limitLine + expected);
    }
}

// The first-export marking runs while the station's flag is exactly "S",
// sets it to "N", and so never runs again for that station.
TEST_F(ExportRun, TheFirstExportMarkingRunsOnlyWhileTheFlagIsExactlyS) {
    stopServer();  // nothing is sent: only the marking changes flags
    sql("INSERT INTO CAIXA (CDFILIAL, CDCAIXA, CDLOJA, IDPRIMVEZEXPON) VALUES ('0001', '001', "
        "'01', 's')");
    // A shift the point-of-sale program imported whole, with a waiting sale.
    const auto importedShift = [this](const std::string& opened, const std::string& sale) {
        sql("INSERT INTO TURCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, IDATUTURCAIXA, IDIMPTCAIXA) "
            "VALUES ('0001', '001', :O, 'I', 'S')",
            {{"O", qel::Variant(opened)}});
        sql("INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, DTABERTUR, DTENTRVENDA, "
            "IDSITUVENDA, IDIMPVENDA) VALUES ('0001', '001', :N, :O, :O, 'O', 'I')",
            {{"N", qel::Variant(sale)}, {"O", qel::Variant(opened)}});
    };
    const auto saleState = [this](const std::string& sale) {
        return scalar(
            "SELECT IDIMPVENDA || COALESCE(NRSEQVENDAMSDE, '-') FROM VENDA WHERE "
            "NRSEQVENDA = '" +
            sale + "'");
    };
    importedShift("2026-12-01 08:00:00.000", "0000000001");
    run();  // lower-case: not the first export
    EXPECT_EQ(saleState("0000000001"), "I-");
    EXPECT_EQ(scalar("SELECT IDPRIMVEZEXPON FROM CAIXA"), "s");

    sql("UPDATE CAIXA SET IDPRIMVEZEXPON = 'S'");
    run();
    EXPECT_EQ(saleState("0000000001"), "S-");
    EXPECT_EQ(scalar("SELECT IDPRIMVEZEXPON FROM CAIXA"), "N");

    importedShift("2026-12-02 08:00:00.000", "0000000002");
    run();  // the second run of the station skips the marking
    EXPECT_EQ(saleState("0000000002"), "I-");
    EXPECT_EQ(scalar("SELECT IDPRIMVEZEXPON FROM CAIXA"), "N");
}

}  // namespace
