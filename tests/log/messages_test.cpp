#include <gtest/gtest.h>

#include "log/messages.h"

TEST(Messages, LooksUpKeysOfTheStandardTable) {
    const auto& table = qel::log::msgPadrao();
    EXPECT_EQ(table.Messages.size(), 33u);
    EXPECT_EQ(table.Msg("FILIAL"), "Filial: ");
    EXPECT_EQ(table.Msg("CAIXA"), " Caixa: ");
    EXPECT_EQ(table.Msg("ERRO"), " Erro: ");
    EXPECT_EQ(table.Msg("Not_Con_Serv"),
              "Não foi possível estabelecer uma conexão com o servidor.");
    EXPECT_EQ(table.Msg("OP_Conc"), "Os arquivos para importação  foram criados corretamente.");
    EXPECT_EQ(table.Msg("filial"), "");  // keys are exact
    EXPECT_EQ(table.Msg("Inexistente"), "");
}

TEST(Messages, TextMayHoldTheSeparator) {
    qel::log::TMessages table({"A|x|y", "B|"});
    EXPECT_EQ(table.Msg("A"), "x|y");
    EXPECT_EQ(table.Msg("B"), "");
}
