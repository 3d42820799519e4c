#include <gtest/gtest.h>

#include <algorithm>

#include "credentials.h"
#include "export_fixture.h"

using qel::DateTime;
using qel::Variant;

namespace {

class Transfer : public qel::testing::ExportFixture {
  protected:
    std::int64_t count(const std::string& sqlText) { return std::stoll(scalar(sqlText)); }

    // The lines written after the change check of the last pass.
    std::vector<std::string> linesFrom(const std::string& first) const {
        const auto lines = logLines();
        auto it = std::find(lines.rbegin(), lines.rend(), first);
        if (it == lines.rend()) return {};
        return std::vector<std::string>(std::prev(it.base()), lines.end());
    }
};

TEST_F(Transfer, ExportsPendingDataAndFlagsEveryRowTheServerVerified) {
    simulate(20, 12);
    const auto pendingSales =
        count("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA IN ('I','A') AND IDSITUVENDA <> 'P'");
    const auto newSaleItems = count(
        "SELECT COUNT(*) FROM ITEMVENDA I JOIN VENDA V ON V.CDFILIAL = I.CDFILIAL AND"
        " V.CDCAIXA = I.CDCAIXA AND V.NRSEQVENDA = I.NRSEQVENDA"
        " WHERE V.IDIMPVENDA = 'I' AND V.IDSITUVENDA <> 'P'");
    ASSERT_GT(pendingSales, 0);
    dm->run.QtdMaxVendasExp = "5";  // several windows
    ASSERT_TRUE(dm->net.ConectaServidor(true, "sem servidor"));
    int passes = 0;
    while (pass() && !dm->run.NrSeqVendaIni.empty() && passes < 10) ++passes;
    EXPECT_GE(passes, 3);
    EXPECT_EQ(errorLines(), std::vector<std::string>{});

    // Every sale that waited is now exported and the central store holds it once.
    EXPECT_EQ(
        count("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA IN ('I','A') AND IDSITUVENDA <> 'P'"),
        0);
    EXPECT_EQ(realStore->rowCount("VENDA"), pendingSales);
    EXPECT_EQ(realStore->rowCount("ITEMVENDA"), newSaleItems);
    const auto lines = logLines();
    EXPECT_GE(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) {
                                return l.rfind("Execute do acmUpdVenda(S) - ", 0) == 0;
                            }),
              pendingSales);
    // Rows that hang on flags of their own are flagged where the server holds them.
    EXPECT_EQ(
        count("SELECT COUNT(*) FROM MOVCAIXA WHERE IDIMPMOVCAIXA <> 'S' AND NRSEQVENDA IS NULL"),
        0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM REDUCAOZ WHERE IDIMPREDUCAO <> 'S'"), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM LOGACESSO WHERE IDIMPLOGACESSO <> 'S'"), 0);
    // Keys that travel as date-time text match their local rows.
    EXPECT_GT(realStore->rowCount("LOGOPERQEL"), 0);
    EXPECT_EQ(
        count(
            "SELECT COUNT(*) FROM LOGOPERQEL WHERE IDIMPLOGOPERQEL <> 'S' AND NRSEQVENDA IS NULL"),
        0);
    EXPECT_GT(realStore->rowCount("CMD_LOG"), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM CMD_LOG WHERE IDEXPREGISTRO = 'N'"), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM ITCMD_LOG WHERE IDEXPREGISTRO = 'N'"), 0);
}

TEST_F(Transfer, ARefusedRowStaysPendingAndIsSentAgain) {
    sql("INSERT INTO MOVBENEFICIOCTR (CDCLIENTE, CDCONSUMIDOR, CDCAMPANHA, NRSEQPRODCAMP,"
        " NRSEQBENEFICIO, QTDEBENEFICIO, DTFIMVALBENECONS, IDIMPTMOVCTR) VALUES"
        " ('C1', 'K1', 'CAMP', '1', '1', 2.5, '2027-01-01 00:00:00.000', 'I'),"
        " ('C1', 'K1', 'CAMP', '1', '2', NULL, '2027-01-01 00:00:00.000', 'I')");
    ASSERT_TRUE(dm->net.ConectaServidor(true, "sem servidor"));
    ASSERT_TRUE(pass());
    EXPECT_EQ(scalar("SELECT IDIMPTMOVCTR FROM MOVBENEFICIOCTR WHERE NRSEQBENEFICIO = '1'"), "N");
    EXPECT_EQ(scalar("SELECT IDIMPTMOVCTR FROM MOVBENEFICIOCTR WHERE NRSEQBENEFICIO = '2'"), "I");
    const qel::Dataset& verdicts = dm->results.cdsRetMovBeneCtr;
    ASSERT_EQ(verdicts.recordCount(), 2u);
    EXPECT_NE(verdicts.rows()[1][verdicts.fieldIndex("IDSITUACAO")].asString(), "OK");

    ASSERT_TRUE(pass());  // the refused row goes again
    ASSERT_GT(dm->PacotesExportacao.asArray().size(), 29u);
    EXPECT_EQ(dm->PacotesExportacao.asArray()[29].asPacket().recordCount(), 1u);
    EXPECT_EQ(scalar("SELECT IDIMPTMOVCTR FROM MOVBENEFICIOCTR WHERE NRSEQBENEFICIO = '2'"), "I");
}

TEST_F(Transfer, AnAllEmptyVerificationChangesNothingButWritesTheFramingLines) {
    ASSERT_TRUE(dm->net.ConectaServidor(true, "sem servidor"));
    EXPECT_FALSE(dm->ExisteDadosExportar(clock.now(), clock.now()));
    dm->ExportaDados(clock.now(), clock.now());
    const auto lines = linesFrom("Início da exportação das vendas para o servidor: 06/12/2026");
    const std::vector<std::string> expected = {
        "Início da exportação das vendas para o servidor: 06/12/2026",
        "Fim da exportação das vendas para o servidor: 06/12/2026",
        "Início da verificação das vendas no servidor: 06/12/2026",
        "Fim da verificação das vendas no servidor: 06/12/2026",
        "Início da atualização das vendas no MSDE: 06/12/2026",
        "Fim da atualização das vendas no MSDE: 06/12/2026",
        ""};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(realStore->rowCount(), 0);

    dm->run.FiltroDtMovim = "05/12/2026";  // a day filter frames with its own text
    dm->ExportaDados(clock.now(), clock.now());
    EXPECT_EQ(linesFrom("Início da exportação das vendas para o servidor: 05/12/2026").size(), 7u);
}

// The two dates travel in the packet array and in their own calls; each
// call reports its own date, never the other's.
TEST_F(Transfer, EachReportedDateIsTheOneOfItsTable) {
    ASSERT_TRUE(dm->net.ConectaServidor(true, "sem servidor"));
    const DateTime extract = DateTime::fromDateTime(2026, 12, 5, 8, 30, 0);
    const DateTime movements = DateTime::fromDateTime(2026, 11, 30, 17, 45, 10);
    dm->ExisteDadosExportar(extract, movements);
    dm->ExportaDados(extract, movements);
    EXPECT_EQ(errorLines(), std::vector<std::string>{});
    EXPECT_EQ(realStore->reportedDate("0001", "001", "DTULTATUEXT"), extract);
    EXPECT_EQ(realStore->reportedDate("0001", "001", "DTULTATUMCLI"), movements);
}

TEST_F(Transfer, AFailedSendIsOneLineAndNothingIsAcknowledged) {
    simulate(10, 5);
    const auto exported = count("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA = 'S'");
    ASSERT_TRUE(dm->net.ConectaServidor(true, "sem servidor"));
    store->failInsert = true;
    ASSERT_TRUE(pass());
    const auto lines = linesFrom("Início da exportação das vendas para o servidor: 07/12/2026");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("ERRO Except ExportaDados: Filial: 0001 Caixa: 001 Erro: ", 0), 0u)
        << lines[1];
    EXPECT_NE(lines[1].find("central database is full"), std::string::npos);
    // The loyalty update still ran after the failure.
    EXPECT_NE(
        std::find(lines.begin(), lines.end(), "Executa atualização de pontuação no servidor."),
        lines.end());
    EXPECT_EQ(count("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA = 'S'"), exported);
    EXPECT_EQ(realStore->rowCount(), 0);
}

TEST_F(Transfer, AFailedVerificationLeavesRowsPendingAndTheNextPassStoresThemOnce) {
    simulate(10, 5);
    ASSERT_TRUE(dm->net.ConectaServidor(true, "sem servidor"));
    store->failVerify = true;
    ASSERT_TRUE(pass());
    const auto sent = realStore->rowCount("VENDA");
    EXPECT_GT(sent, 0);
    const auto stillPending =
        count("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA IN ('I','A') AND IDSITUVENDA <> 'P'");
    EXPECT_GE(stillPending, sent);

    store->failVerify = false;
    ASSERT_TRUE(pass());
    EXPECT_EQ(realStore->rowCount("VENDA"), sent);  // sent again, still one copy each
    EXPECT_EQ(
        count("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA IN ('I','A') AND IDSITUVENDA <> 'P'"),
        stillPending - sent);
}

// After a long outage the tables without a sales window can hold more than
// the server takes in one request; the transfer splits its packets so that
// the station gets back in sync without anyone raising the server's limit.
TEST_F(Transfer, ABacklogLargerThanTheServersLimitIsDrainedInParts) {
    simulate(20, 12);
    stopServer();
    qel::server::HttpServerOptions options;
    options.maxRequestBytes = 16 * 1024;  // a pass here is about 26 KB
    startServer(std::move(options));
    ASSERT_TRUE(dm->net.ConectaServidor(true, "sem servidor"));

    dm->maxCallBytes = std::size_t(1) << 30;  // one call whatever its size: refused
    pass();
    const auto refused = errorLines();
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_NE(refused[0].find("limit"), std::string::npos) << refused[0];

    dm->maxCallBytes = 12 * 1024;
    int passes = 0;
    while (pass() && !dm->run.NrSeqVendaIni.empty() && passes < 20) ++passes;
    EXPECT_EQ(errorLines(), refused);
    EXPECT_EQ(
        count("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA IN ('I','A') AND IDSITUVENDA <> 'P'"),
        0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM LOGACESSO WHERE IDIMPLOGACESSO <> 'S'"), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM REDUCAOZ WHERE IDIMPREDUCAO <> 'S'"), 0);
}

// The two date calls of a transfer each carry their own date: under a
// credential the server files them by the call, so a swapped pair would
// file each date under the other's name. The packet array's copies are
// filed under the station it names.
TEST_F(Transfer, TheDateCallsCarryTheirOwnDates) {
    stopServer();
    qel::server::HttpServerOptions options;
    options.credentials = qel::server::Credentials::parse("station-token 0001 001\n");
    startServer(std::move(options));
    writeRegistry("IPServer = 127.0.0.1:" + std::to_string(port) +
                  "\nServerCredential = station-token\n");
    simulate(5, 3);
    const DateTime extract = DateTime::fromDateTime(2026, 12, 5, 10, 30, 0);
    const DateTime movements = DateTime::fromDateTime(2026, 11, 20, 8, 15, 0);
    ASSERT_TRUE(dm->net.ConectaServidor(true, "sem servidor"));
    ASSERT_TRUE(dm->ExisteDadosExportar(extract, movements));
    dm->ExportaDados(extract, movements);
    EXPECT_EQ(errorLines(), std::vector<std::string>{});
    EXPECT_EQ(realStore->reportedDate("0001", "0001/001", "DTULTATUEXT"), extract);
    EXPECT_EQ(realStore->reportedDate("0001", "0001/001", "DTULTATUMCLI"), movements);
    EXPECT_EQ(realStore->reportedDate("0001", "001", "DTULTATUEXT"), extract);
    EXPECT_EQ(realStore->reportedDate("0001", "001", "DTULTATUMCLI"), movements);
}

}  // namespace
