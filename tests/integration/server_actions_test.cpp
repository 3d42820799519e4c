#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "export_fixture.h"

using qel::Variant;

namespace {

class ServerActions : public qel::testing::ExportFixture {
  protected:
    void loyaltyRows(int n) {
        qel::Dataset d({{"CDFILIAL", qel::FieldType::String, 4, 0},
                        {"CDCAIXA", qel::FieldType::String, 3, 0},
                        {"NRSEQVENDA", qel::FieldType::String, 10, 0}});
        for (int i = 0; i < n; ++i)
            d.append({Variant("0001"), Variant("001"), Variant("000000000" + std::to_string(i))});
        dm->copies.cdsCliItFidelidade = d;
    }
    // A stand-in for the loyalty tool that records its arguments.
    void installLoyaltyTool() {
        std::ofstream(dir / "QelFid")
            << "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > \"$(dirname \"$0\")/args.tmp\"\n"
            << "mv \"$(dirname \"$0\")/args.tmp\" \"$(dirname \"$0\")/args.txt\"\n";
        std::filesystem::permissions(dir / "QelFid", std::filesystem::perms::owner_all);
    }
    std::string waitForArgs() {
        for (int i = 0; i < 500 && !std::filesystem::exists(dir / "args.txt"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::ifstream in(dir / "args.txt");
        std::string s;
        std::getline(in, s);
        return s;
    }
};

TEST_F(ServerActions, LoyaltyUpdateCallsTheServerOnceAndStartsTheToolWithItsParameters) {
    installLoyaltyTool();
    loyaltyRows(3);
    dm->AtualizaPontuacao();
    EXPECT_EQ(logLines(),
              (std::vector<std::string>{"Executa atualização de pontuação no servidor.",
                                        "Executa atualização de pontuação na base local."}));
    EXPECT_EQ(waitForArgs(), "1|IMPTABELAS_0001_001_01__MANUAL_");
    EXPECT_EQ(realStore->requestCount("PONTUACAO"), 1);
    EXPECT_FALSE(dm->net.netAtualizaPontuacao.connected());
}

TEST_F(ServerActions, NoLoyaltyRowsMeansNoCallNoLineNoTool) {
    installLoyaltyTool();
    loyaltyRows(0);
    dm->run.CDLOJA = "";
    dm->AtualizaPontuacao();
    EXPECT_TRUE(logLines().empty());
    EXPECT_EQ(realStore->requestCount("PONTUACAO"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(std::filesystem::exists(dir / "args.txt"));
}

TEST_F(ServerActions, AdjustmentCallsOncePerFiscalDayInCopyOrder) {
    qel::Dataset days({{"DTMOVCAT52", qel::FieldType::DateTime, 0, 0}});
    days.append({Variant(qel::DateTime::fromDate(2026, 12, 4))});
    days.append({Variant(qel::DateTime::fromDate(2026, 12, 5))});
    dm->copies.cdsCliArqCat52 = days;
    dm->AjusteDiferencas();
    EXPECT_EQ(logLines(), (std::vector<std::string>{"", "Executa ajuste de diferenças: 04/12/2026",
                                                    "Executa ajuste de diferenças: 05/12/2026"}));
    EXPECT_EQ(realStore->requestCount("AJUSTE"), 2);
    EXPECT_FALSE(dm->net.netAjuste.connected());
}

TEST_F(ServerActions, ServerDownGivesOneStationErrorLineAndNoTool) {
    installLoyaltyTool();
    loyaltyRows(1);
    stopServer();
    dm->AtualizaPontuacao();
    dm->copies.cdsCliArqCat52 = qel::Dataset({{"DTMOVCAT52", qel::FieldType::DateTime, 0, 0}});
    dm->AjusteDiferencas();
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("ERRO Except AtualizaPontuacao: Filial: 0001 Caixa: 001 Erro: ", 0),
              0u)
        << lines[0];
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2].rfind("ERRO Except AjusteDiferencas: Filial: 0001 Caixa: 001 Erro: ", 0),
              0u);
    EXPECT_FALSE(std::filesystem::exists(dir / "args.txt"));
}

}  // namespace

namespace {

// The loyalty copy is read from its first row wherever an earlier routine
// left its cursor, even at its end.
TEST_F(ServerActions, TheLoyaltyUpdateReadsTheCopyFromItsFirstRow) {
    installLoyaltyTool();
    loyaltyRows(2);
    while (!dm->copies.cdsCliItFidelidade.eof()) dm->copies.cdsCliItFidelidade.next();
    dm->AtualizaPontuacao();
    EXPECT_EQ(realStore->requestCount("PONTUACAO"), 1);
    EXPECT_EQ(waitForArgs(), "1|IMPTABELAS_0001_001_01__MANUAL_");
}

}  // namespace
