#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "core/error.h"
#include "definitions/central_consumers.h"
#include "definitions/statement.h"
#include "test_database.h"

namespace qel::definitions {
namespace {

std::set<std::string> parameterNames(std::string_view sql) {
    static const std::regex token(R"(:([A-Za-z_][A-Za-z0-9_]*))");
    std::set<std::string> names;
    const std::string text(sql);
    for (std::sregex_iterator it(text.begin(), text.end(), token), end; it != end; ++it) {
        names.insert((*it)[1]);
    }
    return names;
}

TEST(Statements, BothDialectsUseExactlyTheDeclaredParameters) {
    for (const auto& s : allStatements()) {
        std::set<std::string> declared;
        for (const auto& p : s.params) {
            EXPECT_TRUE(declared.insert(std::string(p.name)).second)
                << s.name << " declares " << p.name << " twice";
        }
        EXPECT_EQ(parameterNames(s.sqlServer), declared) << s.name << " (SQL Server)";
        EXPECT_EQ(parameterNames(s.sqlite), declared) << s.name << " (SQLite)";
    }
}

TEST(Statements, EverySqliteTextPreparesAgainstTheStationSchema) {
    ManualClock clock;
    testing::TestDatabase db(clock, /*withCentral=*/true);
    for (const auto& s : allStatements()) {
        const std::string sql = s.name == "adqCliCONSCENTRAL" ? centralConsumerSqlite("CENTRAL")
                                                              : std::string(s.sqlite);
        EXPECT_EQ(db.prepareError(sql), "") << s.name << ":\n" << sql;
    }
}

TEST(Statements, LookupByNameAndUnknownNames) {
    const auto& venda = statement("adqCliVenda");
    EXPECT_EQ(venda.kind, StatementKind::Query);
    EXPECT_EQ(statement("acmDelVenda").kind, StatementKind::Command);
    EXPECT_THROW(statement("adqCliNothing"), Error);

    const auto& range = statement("adqRangeVendaExp");
    ASSERT_EQ(range.params.size(), 4u);
    for (const auto& p : range.params) {
        EXPECT_EQ(p.type, p.name == "P_NRVENDAEXP" ? ParamType::Integer : ParamType::String)
            << p.name;
    }
}

TEST(Statements, QuotedTextsAreKeptLineByLine) {
    EXPECT_EQ(statement("adqCaixa").sqlServer,
              "SELECT IDPRIMVEZEXPON, IDCOLETOR\nFROM CAIXA\nWHERE (CDFILIAL = :P_CDFILIAL)\n"
              "AND (CDCAIXA  = :P_CDCAIXA )");
    EXPECT_EQ(statement("acmUpdVenda").sqlServer,
              "UPDATE VENDA SET IDIMPVENDA = :P_IDIMPVENDA WHERE CDFILIAL = :P_CDFILIAL AND "
              "CDCAIXA = :P_CDCAIXA AND NRSEQVENDA = :P_NRSEQVENDA");
    EXPECT_NE(statement("adqRangeVendaExp").sqlServer.find("SELECT TOP(:P_NRVENDAEXP)"),
              std::string_view::npos);
}

TEST(Statements, CentralConsumerSelectionNamesTheConfiguredTable) {
    const auto sqlServer = centralConsumerSqlServer("CENTRAL", "dbo");
    EXPECT_NE(sqlServer.find("CLIENFILIAL CL, CENTRAL.dbo.SENHACONS SE WHERE CL.CDFILIAL     = "
                             ":P_CDFILIAL"),
              std::string::npos)
        << sqlServer;
    EXPECT_NE(centralConsumerSqlServer("CENTRAL", "").find("CENTRAL..SENHACONS"),
              std::string::npos);
    EXPECT_NE(centralConsumerSqlite("CENTRAL").find("CENTRAL.SENHACONS SE"), std::string::npos);
}

}  // namespace
}  // namespace qel::definitions
