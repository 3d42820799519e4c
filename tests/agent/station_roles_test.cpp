#include <gtest/gtest.h>

#include "../station_fixture.h"
#include "core/error.h"

using qel::Variant;

namespace {

using Stations = std::vector<std::string>;

class StationRoles : public qel::testing::StationFixture {
  protected:
    void station(const std::string& code, const std::string& shop, const std::string& collector,
                 const std::string& list) {
        sql("INSERT INTO CAIXA (CDFILIAL, CDCAIXA, CDLOJA, IDCOLETOR, DSCAIXAVEN) VALUES "
            "('0001', :C, :L, :K, :D)",
            {{"C", Variant(code)},
             {"L", Variant(shop)},
             {"K", Variant(collector)},
             {"D", Variant(list)}});
    }
    Stations associated(const std::string& code) {
        auto list = dm->CaixasAssociados("0001", code);
        EXPECT_TRUE(list.has_value());
        return list.value_or(Stations{"<none>"});
    }
    bool collector(const std::string& code) {
        Variant result;
        dm->CaixaColetor("0001", code, result);
        return !result.isEmpty() && result.asBoolean();
    }
    // Breaks the station database so that every query fails.
    void breakDatabase() {
        writeRegistry("");
        std::ofstream(dir / "registry.conf")
            << "[HKEY_LOCAL_MACHINE\\Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]\n"
            << "StringConexao = Provider=SQLite;Initial Catalog=QELCAIXA;Data Source="
            << (dir / "missing" / "folder").string() << "\n";
        registryWritten();
        dm->adcCaixa.close();
    }
};

TEST_F(StationRoles, ListStartsWithOwnCodeAndSkipsEmptyPieces) {
    station("001", "01", "N", "002_003");
    station("004", "01", "N", "002__003_");
    station("005", "01", "N", "002\r\n 03 _002_005");
    station("006", "01", "N", "   ");
    EXPECT_EQ(associated("001"), (Stations{"001", "002", "003"}));
    EXPECT_EQ(associated("004"), (Stations{"004", "002", "003"}));
    // Line breaks separate, blanks inside a piece stay, the own code is not removed.
    EXPECT_EQ(associated("005"), (Stations{"005", "002", " 03 ", "002", "005"}));
    // A list of blanks is empty: the station exports for itself unless listed.
    EXPECT_EQ(associated("006"), (Stations{"006"}));
}

TEST_F(StationRoles, StationListedElsewhereExportsNothing) {
    station("001", "01", "N", "");
    station("002", "01", "N", "");
    station("009", "01", "N", "001_005");
    EXPECT_EQ(associated("001"), Stations{});
    EXPECT_EQ(associated("002"), (Stations{"002"}));
    // Substring match: station 01 counts as listed in "10_12", station 12 too.
    station("010", "01", "N", "10_12");
    Variant listed;
    dm->EstaAssociado("0001", "01", listed);
    EXPECT_TRUE(listed.asBoolean());
    dm->EstaAssociado("0001", "12", listed);
    EXPECT_TRUE(listed.asBoolean());
    dm->EstaAssociado("0001", "007", listed);
    EXPECT_FALSE(listed.asBoolean());
    // Another store's list does not count.
    dm->EstaAssociado("0002", "001", listed);
    EXPECT_FALSE(listed.asBoolean());
}

TEST_F(StationRoles, ShopAndCollectorWithAndWithoutRow) {
    station("001", "07", "C", "");
    station("002", "08", "c", "");
    station("003", "09", "", "");
    std::string shop = "stale";
    dm->GetLoja("0001", "001", shop);
    EXPECT_EQ(shop, "07");
    dm->GetLoja("0001", "404", shop);
    EXPECT_EQ(shop, "");
    EXPECT_TRUE(collector("001"));
    EXPECT_FALSE(collector("002"));  // exact comparison: lower-case c is not a collector
    EXPECT_FALSE(collector("003"));
    EXPECT_FALSE(collector("404"));
    EXPECT_EQ(associated("404"), (Stations{"404"}));
    EXPECT_TRUE(logLines().empty());
}

TEST_F(StationRoles, FailuresWriteOneLineEachAndLeaveResultsUnassigned) {
    station("001", "01", "C", "002");
    breakDatabase();
    std::string shop = "stale";
    dm->GetLoja("0001", "001", shop);
    EXPECT_EQ(shop, "");
    Variant result;
    dm->CaixaColetor("0001", "001", result);
    EXPECT_TRUE(result.isUnassigned());
    dm->EstaAssociado("0001", "001", result);
    EXPECT_TRUE(result.isUnassigned());
    EXPECT_FALSE(dm->CaixasAssociados("0001", "001").has_value());
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("ERRO Except GetLoja: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("ERRO Except CaixaColetor: ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("ERRO Except EstaAssociado: ", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3].rfind("ERRO Except CaixasAssociados: ", 0), 0u) << lines[3];
}

// When only the check whether another station lists this one fails, the
// answer counts as "not listed": the station exports for itself.
TEST_F(StationRoles, AFailingListingCheckLeavesTheStationExportingForItself) {
    station("001", "01", "N", "");
    station("009", "01", "N", "001_005");
    EXPECT_EQ(associated("001"), Stations{});
    dm->adcCaixa.setBeforeStatement([](std::string_view statement) {
        if (statement.find("CHARINDEX") != std::string_view::npos) {
            throw qel::DatabaseError("Lock request time out period exceeded.");
        }
    });
    EXPECT_EQ(associated("001"), (Stations{"001"}));
    EXPECT_EQ(logLines(),
              (std::vector<std::string>{
                  "ERRO Except EstaAssociado: Lock request time out period exceeded."}));
}

}  // namespace
