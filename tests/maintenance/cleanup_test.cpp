// The local database cleanup against a real station database and the real
// application server, driven by a manual clock.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cleanup_fixture.h"

namespace {

using qel::DateTime;
using qel::Variant;

class Cleanup : public qel::testing::CleanupFixture {
  protected:
    // The run log without the export connection's own disconnect line.
    std::vector<std::string> cleanupLines() const {
        std::vector<std::string> lines;
        for (const auto& l : logLines()) {
            if (l != "netInsereServidor foi desconectado do servidor.") lines.push_back(l);
        }
        return lines;
    }
    static std::vector<std::string> tableCounts(const std::vector<std::string>& rows) {
        std::vector<std::string> lines{std::string(36, '*'), "Quantidade de registros nas tabelas"};
        lines.insert(lines.end(), rows.begin(), rows.end());
        lines.push_back(std::string(36, '*'));
        return lines;
    }
};

// A closed exported shift opened at 08:00 thirty days before the cleanup's
// day: after noon the cut-off rounds up to the next midnight and the shift
// goes; this test also pins every line of a complete cleanup.
TEST_F(Cleanup, AfterNoonTheCutOffRoundsUpAndTheOldShiftGoesWithEveryLogLine) {
    stationSettings("30");
    shiftWithSale(at(2026, 11, 7, 8), "0000000001", "S");
    clock.set(at(2026, 12, 7, 12, 1));
    cleanup();

    EXPECT_EQ(count("TURCAIXA"), 0);
    EXPECT_EQ(count("VENDA"), 0);
    EXPECT_EQ(count("ITEMVENDA"), 0);
    EXPECT_EQ(count("MOVCAIXA"), 0);
    EXPECT_EQ(backupFolders(), std::vector<std::filesystem::path>{dir / "Dados" / "Backup_Vendas" /
                                                                  "07-12-2026 12-01-00"});
    EXPECT_TRUE(std::filesystem::is_empty(backupFolders()[0]));
    ASSERT_TRUE(reportedCleanup().has_value());

    std::vector<std::string> expected = {
        "",
        "***************** INÍCIO DA LIMPEZA DA BASE DE DADOS LOCAL *****************",
        std::string(126, '*'),
        "Número de dias sincronismo delivery: 3. Caixa: 001",
        "Frequência limpeza: D",
        "Prazo atingido, executa limpeza",
        "Número de dias a serem limpos: 30",
        "dtAtrasada: 07/11/2026 12:01:00",
        "dtAtrasadaAux: 07/12/2025 12:01:00",
        "Busca TurCaixa/Redução Z.",
        "TurCaixa/Redução Z encontradas.",
        "Iniciando Limpeza."};
    const auto before =
        tableCounts({"VENDA: 1", "PEDIDOQEL: 0", "NOVOCODIGO: 0", "LOGOPERQEL: 0", "LOGACESSO: 0",
                     "ITPEDIDOQEL: 0", "ITHRCOMANDA: 0", "ITEMVENDA: 1"});
    expected.insert(expected.end(), before.begin(), before.end());
    for (const char* name : {"acmDelItCmdLog", "acmDelCmdLog", "acmDelLogPedidoTaa",
                             "acmDelWaiterOrders", "acmDelLogOperQel", "acmDelLogAcesso",
                             "acmDelPedidoQelTodos", "acmDelInutilizaNfce", "acmDelNovoCodigo"}) {
        expected.push_back(std::string("Executou ") + name + ".");
    }
    expected.push_back(
        "Começa a executar delete da NovoCodigo das tabelas: ITPEDIDOQELREL, ITPEDIDOQELPAI, "
        "ITPEDIDOQEL");
    expected.push_back("Executou acmDelNovoCodigo ITPEDIDOQELREL, ITPEDIDOQELPAI, ITPEDIDOQEL");
    for (const char* name :
         {"acmDelLogSincDlv",      "acmDelFORMPGTOREDZ",     "acmDelTOTNFISCREDZ",
          "acmDelIMPOSTOREDZ",     "acmDelReducaoZ",         "acmDelMoviClie",
          "acmDelMoviClieCredito", "acmDelMoviClieAntiga",   "acmDelItFidelidade",
          "acmDelEstornoVnd",      "acmDelMovBeneficioCons", "acmUpdMovCaixaDel",
          "acmDelMovCaixa",        "acmDelObsItemVendaEst",  "acmDelObsItemVenda",
          "acmDelItemVendaEst",    "acmDelItVendaCan",       "acmDelItVendaDes",
          "acmDelItVendaImpos",    "acmDelItemVenda",        "acmDelItHrComanda",
          "acmDelArqXmlNFCeSat",   "acmDelLogNfce",          "acmDelVenda",
          "acmDelTurCaixa",        "acmDelTotalDiaCaixa"}) {
        expected.push_back(std::string("Executou ") + name + ".");
    }
    const auto after =
        tableCounts({"VENDA: 0", "PEDIDOQEL: 0", "NOVOCODIGO: 0", "LOGOPERQEL: 0", "LOGACESSO: 0",
                     "ITPEDIDOQEL: 0", "ITHRCOMANDA: 0", "ITEMVENDA: 0"});
    expected.insert(expected.end(), after.begin(), after.end());
    expected.push_back("Finalizando Limpeza.");
    expected.push_back(std::string(126, '*'));
    EXPECT_EQ(cleanupLines(), expected);
}

// Before noon the cut-off rounds down to the midnight before the shift, so
// no shift or reduction is old enough: statements 12 to 35 are skipped while
// the others run and the cleanup is still reported.
TEST_F(Cleanup, BeforeNoonTheShiftIsKeptAndOnlyTheUndatedStepsRun) {
    stationSettings("30");
    shiftWithSale(at(2026, 11, 7, 8), "0000000001", "S");
    sql("INSERT INTO LOGACESSO (CDOPERADOR, DSSISTEMA, DTHRACESSO, IDIMPLOGACESSO) VALUES "
        "('OP', 'PDV', '2026-11-07 11:00:00.000', 'S'), ('OP', 'PDV', '2026-11-07 11:59:00.000', "
        "'N'), ('OP', 'PDV', '2026-11-07 12:00:00.000', 'S')");
    clock.set(at(2026, 12, 7, 11, 59));
    cleanup();

    EXPECT_EQ(count("TURCAIXA"), 1);
    EXPECT_EQ(count("VENDA"), 1);
    EXPECT_EQ(count("MOVCAIXA"), 1);
    // Access log: the unrounded cut-off (11:59); the waiting row stays.
    EXPECT_EQ(count("LOGACESSO"), 2);
    EXPECT_EQ(count("LOGACESSO", "IDIMPLOGACESSO = 'N'"), 1);
    EXPECT_TRUE(logged("Não foi encontrado TurCaixa/Redução Z a serem deletadas."));
    EXPECT_TRUE(logged("Executou acmDelLogSincDlv."));
    EXPECT_FALSE(logged("Executou acmDelFORMPGTOREDZ."));
    EXPECT_FALSE(logged("Executou acmDelTurCaixa."));
    EXPECT_TRUE(logged("Executou acmDelTotalDiaCaixa."));
    EXPECT_TRUE(logged("Finalizando Limpeza."));
    EXPECT_TRUE(reportedCleanup().has_value());
}

TEST_F(Cleanup, AnOldExportedReductionAloneOpensTheSaleDeletions) {
    stationSettings("30");
    shiftWithSale(at(2026, 11, 20, 8), "0000000001", "S", "I");  // shift still waiting
    sql("UPDATE VENDA SET DTENTRVENDA = '2026-11-01 09:00:00.000'");
    sql("INSERT INTO REDUCAOZ (CDFILIAL, CDCAIXA, DTREDUCAOZ, NRECFREDZ, IDIMPREDUCAO) VALUES "
        "('0001', '001', '2026-11-01 00:00:00.000', '000001', 'S'), ('0001', '001', "
        "'2026-11-02 00:00:00.000', '000002', 'N')");
    sql("INSERT INTO IMPOSTOREDZ (CDFILIAL, CDCAIXA, DTREDUCAOZ, NRECFREDZ, CDALIQUOTA) VALUES "
        "('0001', '001', '2026-11-01 00:00:00.000', '000001', 'T18'), ('0001', '001', "
        "'2026-11-02 00:00:00.000', '000002', 'T18')");
    clock.set(at(2026, 12, 7, 15));
    cleanup();

    EXPECT_TRUE(logged("TurCaixa/Redução Z encontradas."));
    EXPECT_EQ(count("VENDA"), 0);
    EXPECT_EQ(count("TURCAIXA"), 1);  // waiting shift kept
    // The waiting reduction and its rows stay; the exported one goes.
    EXPECT_EQ(count("REDUCAOZ"), 1);
    EXPECT_EQ(count("IMPOSTOREDZ"), 1);
    EXPECT_EQ(count("IMPOSTOREDZ", "NRECFREDZ = '000002'"), 1);
}

// Cash movements leave only without their sale or together with it, and
// the marking of stray movements touches only the station being cleaned.
TEST_F(Cleanup, CashMovementsGoOnlyWithTheirSaleAndOnlyForThisStation) {
    stationSettings("30");
    shiftWithSale(at(2026, 11, 1, 8), "0000000001", "S");  // old and exported: goes
    shiftWithSale(at(2026, 11, 2, 8), "0000000002", "I");  // waiting: stays whole
    // An exported sale entered after the cut-off in a shift opened before it.
    shiftWithSale(at(2026, 11, 7, 22), "0000000003", "S");
    sql("UPDATE VENDA SET DTENTRVENDA = '2026-11-08 01:00:00.000' WHERE NRSEQVENDA = "
        "'0000000003'");
    // A movement without a sale, exported; another station's waiting sale.
    sql("INSERT INTO MOVCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, NRSEQUMOVI, NRSEQVENDA, "
        "IDIMPMOVCAIXA) VALUES ('0001', '001', '2026-11-01 08:00:00.000', '900000', NULL, 'S'), "
        "('0001', '002', '2026-11-01 08:00:00.000', '000001', '0000000001', 'N')");
    sql("INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, DTABERTUR, DTENTRVENDA, IDIMPVENDA) "
        "VALUES ('0001', '002', '0000000001', '2026-11-01 08:00:00.000', "
        "'2026-11-01 09:00:00.000', 'I')");
    clock.set(at(2026, 12, 7, 15));
    cleanup();

    EXPECT_TRUE(errorLines().empty());
    EXPECT_EQ(count("MOVCAIXA", "CDCAIXA = '001' AND NRSEQVENDA = '0000000001'"), 0);
    EXPECT_EQ(count("MOVCAIXA", "CDCAIXA = '001' AND NRSEQVENDA IS NULL"), 0);
    EXPECT_EQ(count("MOVCAIXA", "CDCAIXA = '001' AND NRSEQVENDA = '0000000002'"), 1);
    EXPECT_EQ(count("MOVCAIXA", "CDCAIXA = '001' AND NRSEQVENDA = '0000000003'"), 1);
    EXPECT_EQ(count("VENDA", "CDCAIXA = '001'"), 2);
    EXPECT_EQ(count("MOVCAIXA", "CDCAIXA = '002' AND IDIMPMOVCAIXA = 'N'"), 1);
}

TEST_F(Cleanup, ServerSayingNotDueDeletesNothingAndCreatesNoFolder) {
    stationSettings("30");
    shiftWithSale(at(2026, 11, 1, 8), "0000000001", "S");
    realStore->recordCleanup("0001", "001", at(2026, 12, 7, 1));
    clock.set(at(2026, 12, 7, 15));
    cleanup();

    EXPECT_EQ(count("VENDA"), 1);
    EXPECT_TRUE(backupFolders().empty());
    EXPECT_EQ(
        cleanupLines(),
        (std::vector<std::string>{
            "", "***************** INÍCIO DA LIMPEZA DA BASE DE DADOS LOCAL *****************",
            std::string(126, '*'), "Número de dias sincronismo delivery: 3. Caixa: 001",
            "Frequência limpeza: D", "Não executa a limpeza, o prazo não foi atingido",
            std::string(126, '*')}));
}

TEST_F(Cleanup, OnlyExactlyMAsksForTheMonthlyCleanup) {
    shiftWithSale(at(2026, 11, 1, 8), "0000000001", "S");
    realStore->recordCleanup("0001", "001", at(2026, 12, 6, 10));  // yesterday, same month
    clock.set(at(2026, 12, 7, 15));
    stationSettings("30", Variant::null(), "M");
    cleanup();
    EXPECT_EQ(count("VENDA"), 1);
    EXPECT_TRUE(logged("Frequência limpeza: M"));
    EXPECT_TRUE(logged("Não executa a limpeza, o prazo não foi atingido"));

    stationSettings("30", Variant::null(), "m");  // any other value: daily
    cleanup();
    EXPECT_EQ(count("VENDA"), 0);
    EXPECT_TRUE(logged("Finalizando Limpeza."));
}

// A statement that fails inside the transaction (a trigger standing in for
// a lock or duplicate-key error) undoes every deletion before it.
TEST_F(Cleanup, AFailingRefundDeletionUndoesEverythingAndIsNotReported) {
    stationSettings("30");
    shiftWithSale(at(2026, 11, 1, 8), "0000000001", "S");
    sql("INSERT INTO LOGACESSO (CDOPERADOR, DSSISTEMA, DTHRACESSO, IDIMPLOGACESSO) VALUES "
        "('OP', 'PDV', '2026-10-01 10:00:00.000', 'S')");
    sql("INSERT INTO REDUCAOZ (CDFILIAL, CDCAIXA, DTREDUCAOZ, NRECFREDZ, IDIMPREDUCAO) VALUES "
        "('0001', '001', '2026-11-01 00:00:00.000', '000001', 'S')");
    sql("INSERT INTO ITFIDELIDADE (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQUITVEND) VALUES "
        "('0001', '001', '0000000001', '001')");
    sql("CREATE TRIGGER REFUND_LOCKED BEFORE DELETE ON ESTORNOVND BEGIN SELECT RAISE(ABORT, "
        "'refund row is locked'); END");
    clock.set(at(2026, 12, 7, 15));
    cleanup();

    EXPECT_EQ(count("LOGACESSO"), 1);     // statement 6
    EXPECT_EQ(count("REDUCAOZ"), 1);      // statement 15
    EXPECT_EQ(count("ITFIDELIDADE"), 1);  // statement 19
    EXPECT_EQ(count("VENDA"), 1);
    EXPECT_FALSE(reportedCleanup().has_value());
    const auto lines = cleanupLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Executou acmDelItFidelidade.");
    EXPECT_EQ(lines.back().rfind("ERRO Except LimpaBaseDeDados: ", 0), 0u) << lines.back();
    EXPECT_NE(lines.back().find("refund row is locked"), std::string::npos);
    EXPECT_EQ(errorLines().size(), 1u);
}

// A point-of-sale version without one of the tables: a missing table among
// the first four statements is passed over; any other undoes the cleanup.
TEST_F(Cleanup, AMissingTableUndoesTheCleanupUnlessItIsOneOfTheFirstFour) {
    stationSettings("30");
    shiftWithSale(at(2026, 11, 1, 8), "0000000001", "S");
    sql("DROP TABLE WAITERORDERS");
    sql("DROP TABLE ITVENDADES");
    clock.set(at(2026, 12, 7, 15));
    cleanup();
    EXPECT_EQ(count("VENDA"), 1);
    EXPECT_EQ(count("ITEMVENDA"), 1);
    EXPECT_FALSE(logged("Executou acmDelWaiterOrders."));
    EXPECT_TRUE(logged("Executou acmDelItemVendaEst."));
    ASSERT_EQ(errorLines().size(), 1u);
    EXPECT_NE(errorLines()[0].find("ITVENDADES"), std::string::npos) << errorLines()[0];
    EXPECT_FALSE(reportedCleanup().has_value());

    // With the table back the same cleanup goes through the missing first-four table.
    sql("CREATE TABLE ITVENDADES (CDFILIAL CHAR(4), CDCAIXA CHAR(3), NRSEQVENDA CHAR(10), "
        "NRSEQITVENDADES CHAR(3))");
    cleanup();
    EXPECT_EQ(count("VENDA"), 0);
    EXPECT_TRUE(reportedCleanup().has_value());
}

TEST_F(Cleanup, DeliveryDaysZeroMeansOneAndAnUnreadableValueEmptiesTheShop) {
    stationSettings("30", Variant::null(), "D", Variant("0"));
    sql("INSERT INTO LOGSINCDLV (CDFILIAL, CDLOJA, DTHRABERMESA, NRVENDARESTAUX, IDIMPLOG) "
        "VALUES ('0001', '01', '2026-12-06 14:59:00.000', '1', 'S'), ('0001', '01', "
        "'2026-12-06 15:01:00.000', '2', 'S'), ('0001', '01', '2026-12-01 10:00:00.000', '3', "
        "'N')");
    clock.set(at(2026, 12, 7, 15));
    cleanup();
    EXPECT_TRUE(logged("Número de dias sincronismo delivery: 0. Caixa: 001"));
    EXPECT_EQ(count("LOGSINCDLV"), 2);
    EXPECT_EQ(count("LOGSINCDLV", "NRVENDARESTAUX = '1'"), 0);

    dueStore->forgetCleanups = true;
    stationSettings("30", Variant::null(), "D", Variant("x"));
    sql("UPDATE LOGSINCDLV SET DTHRABERMESA = '2026-11-01 00:00:00.000' WHERE NRVENDARESTAUX = "
        "'2'");
    cleanup();
    EXPECT_TRUE(logged("except Número de dias sincronismo delivery: 1"));
    EXPECT_EQ(count("LOGSINCDLV"), 2);  // empty shop code: nothing matches
}

TEST_F(Cleanup, OnlineConsumersAreCleanedOnlyWhenConfiguredAndNeverWhileWaiting) {
    stationSettings("30", Variant(""));
    sql("INSERT INTO CONSUMIDOR (CDCLIENTE, CDCONSUMIDOR, IDATUCONSUMI, IDATUCONSONLINE, "
        "DTATUCONSONLINE) VALUES ('C', '1', 'S', 'S', '2026-11-01 00:00:00.000'), ('C', '2', "
        "'A', 'S', '2026-11-01 00:00:00.000'), ('C', '3', 'S', 'S', '2026-12-01 00:00:00.000'), "
        "('C', '4', 'S', 'N', '2026-11-01 00:00:00.000')");
    clock.set(at(2026, 12, 7, 15));
    cleanup();
    EXPECT_FALSE(logged("Iniciando a limpeza de consumidores online."));
    EXPECT_EQ(count("CONSUMIDOR"), 4);

    dueStore->forgetCleanups = true;
    stationSettings("30", Variant("10"));
    clock.set(at(2026, 12, 7, 16));
    cleanup();
    EXPECT_TRUE(logged("Iniciando a limpeza de consumidores online."));
    EXPECT_TRUE(logged("Número de dias a serem limpos: 10"));
    EXPECT_TRUE(logged("dtAtrasada: 27/11/2026 16:00:00"));
    EXPECT_TRUE(logged("Executou acmDelConsumidor."));
    // Old online consumer goes; the changed one waits for export; the recent
    // one and the one not downloaded stay.
    EXPECT_EQ(count("CONSUMIDOR"), 3);
    EXPECT_EQ(count("CONSUMIDOR", "CDCONSUMIDOR = '1'"), 0);
}

TEST_F(Cleanup, UnreadableRetentionFallsBackAndASecondRunTheSameDayDeletesNothingNew) {
    stationSettings("abc");
    dueStore->forgetCleanups = true;
    shiftWithSale(at(2026, 7, 1, 8), "0000000001", "S");   // older than 140 days
    shiftWithSale(at(2026, 7, 25, 8), "0000000002", "S");  // younger
    clock.set(at(2026, 12, 7, 15));
    cleanup();
    EXPECT_TRUE(logged("Número de dias a serem limpos: 140"));
    EXPECT_EQ(count("VENDA"), 1);
    const auto first = reportedCleanup();
    ASSERT_TRUE(first.has_value());

    clock.set(at(2026, 12, 7, 16));
    cleanup();
    EXPECT_EQ(count("VENDA"), 1);
    EXPECT_EQ(count("ITEMVENDA"), 1);
    ASSERT_TRUE(reportedCleanup().has_value());
    EXPECT_GT(*reportedCleanup(), *first);
    EXPECT_EQ(backupFolders().size(), 2u);
    EXPECT_TRUE(errorLines().empty());
}

}  // namespace
