// Two stations with databases of their own, each numbering its rows itself,
// export through the real agent to one server: every row each sent is kept.

#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "export_fixture.h"

namespace qel::testing {
namespace {

// The local keys (station primary keys) of a few tables whose numbers each
// station database counts itself.
const std::map<int, std::vector<std::string>> kCountedKeys = {
    {17, {"CDCLIENTE", "CDCONSUMIDOR", "CDFAMILISALD", "DTMOVEXTCONS", "NRSEQMOVEXT"}},
    {35, {"CDCLIENTE", "CDCONSUMIDOR", "CDFAMILISALD", "DTMOVEXTCONS", "NRSEQMOVEXT"}},
    {23, {"CDCLIENTE", "NRSEQMOVCLI"}},
    {19, {"CDFILIAL", "CDCAIXA", "NRSEQVENDA", "NRSEQUITVEND", "NRSEQITIMPOS"}},
    {7, {"CDFILIAL", "NRPEDIDOQEL"}},
};

std::string tableOf(int element) {
    return element == 35   ? "EXTRATOCONS"
           : element == 17 ? "EXTRATOCONS"
           : element == 23 ? "MOVICLIE"
           : element == 19 ? "ITVENDAIMPOS"
                           : "PEDIDOQEL";
}

class SeparateStations : public ExportFixture {
  protected:
    void fill(const std::filesystem::path& file, int number) {
        simulator::Options o;
        o.stores = {"0001"};
        o.stations = 2;
        o.stationNumbers = {number};
        o.days = 2;
        o.startDate = "2026-12-04";
        o.salesPerDay = 15;
        o.pendingSales = 10;
        o.seed = 7;
        o.quiet = true;
        simulator::Database db(file.string());
        simulator::fillStation(db.get(), o);
    }

    // Exports everything waiting in the station database the registry names,
    // recording the local keys sent per central table.
    void exportAll(const std::string& code) {
        dm->run.CDCAIXA = code;
        dm->run.CDLOJA = "01";
        ASSERT_TRUE(dm->net.ConectaServidor(true, "sem servidor"));
        for (int passes = 0; passes < 10; ++passes) {
            const bool pending = dm->ExisteDadosExportar(clock.now(), clock.now());
            if (!pending) break;
            extractOfExportedSales +=
                static_cast<int>(dm->PacotesExportacao.asArray()[35].asPacket().recordCount());
            for (const auto& [element, columns] : kCountedKeys) {
                const Dataset& sent =
                    dm->PacotesExportacao.asArray()[static_cast<std::size_t>(element)].asPacket();
                for (const Row& row : sent.rows()) {
                    std::string key = code;
                    for (const std::string& c : columns) {
                        key += "|" + row[sent.fieldIndex(c)].asString();
                    }
                    sentKeys[tableOf(element)].insert(key);
                }
            }
            dm->ExportaDados(clock.now(), clock.now());
            if (dm->run.NrSeqVendaIni.empty()) break;
        }
        dm->net.netInsereServidor.close();
        EXPECT_EQ(errorLines(), std::vector<std::string>{});
    }

    std::map<std::string, std::set<std::string>> sentKeys;
    int extractOfExportedSales = 0;
};

TEST_F(SeparateStations, CollidingLocalKeysOfTwoDatabasesAreAllKept) {
    fill(dir / "QELCAIXA.db", 1);
    const auto other = dir / "station-002";
    std::filesystem::create_directories(other);
    fill(other / "QELCAIXA.db", 2);
    clock.set(DateTime::fromDateTime(2026, 12, 7, 12, 0, 0));
    // A sale exported while its extract row was not (the row goes in element
    // 35): a copy of a pending sale's extract row on the next pending sale,
    // which is then marked exported.
    const std::string withExtract = scalar(
        "SELECT MIN(E.NRSEQVENDA) FROM EXTRATOCONS E JOIN VENDA V ON V.CDFILIAL = E.CDFILIAL"
        " AND V.CDCAIXA = E.CDCAIXA AND V.NRSEQVENDA = E.NRSEQVENDA WHERE V.IDIMPVENDA = 'I'");
    const std::string next = scalar(
        "SELECT MIN(NRSEQVENDA) FROM VENDA WHERE IDIMPVENDA = 'I' AND IDSITUVENDA <> 'P' AND "
        "NRSEQVENDA > '" +
        withExtract + "'");
    sql("CREATE TEMP TABLE COPIA AS SELECT * FROM EXTRATOCONS WHERE NRSEQVENDA = '" + withExtract +
        "'");
    sql("UPDATE COPIA SET NRSEQVENDA = '" + next + "', NRSEQMOVEXT = '0000009999'");
    sql("INSERT INTO EXTRATOCONS SELECT * FROM COPIA");
    sql("UPDATE VENDA SET IDIMPVENDA = 'S' WHERE NRSEQVENDA = '" + next + "'");

    exportAll("001");
    dm->adcCaixa.close();
    std::ofstream(dir / "registry.conf")
        << "[HKEY_LOCAL_MACHINE\\Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]\n"
        << "StringConexao = Provider=SQLite;Initial Catalog=QELCAIXA;Data Source=" << other.string()
        << "\n"
        << "IPServer = 127.0.0.1:" << port << "\n";
    exportAll("002");

    // Both databases numbered their orders from 1: the same local keys, each
    // kept once per database.
    std::set<std::string> orders;
    for (const std::string& k : sentKeys["PEDIDOQEL"]) orders.insert(k.substr(4));
    ASSERT_LT(orders.size(), sentKeys["PEDIDOQEL"].size()) << "no colliding keys were sent";
    for (const auto& [table, keys] : sentKeys) {
        EXPECT_EQ(realStore->rowCount(table), static_cast<std::int64_t>(keys.size())) << table;
    }
    // The extract row of the exported sale was answered and flagged.
    EXPECT_GT(extractOfExportedSales, 0);
    EXPECT_EQ(scalar("SELECT IDIMPEXTRATO FROM EXTRATOCONS WHERE NRSEQMOVEXT = '0000009999'"), "S");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA IN ('I','A') AND IDSITUVENDA "
                     "<> 'P'"),
              "0");
}

}  // namespace
}  // namespace qel::testing
