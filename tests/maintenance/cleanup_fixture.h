#pragma once

// A station database, the real application server on loopback and a manual
// clock, set up for the local database cleanup. The server can be told to
// forget the last cleanup, so that a cleanup is due again on the same day.

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "export_fixture.h"

namespace qel::testing {

class AlwaysDueStore : public FailingVerifyStore {
  public:
    using FailingVerifyStore::FailingVerifyStore;
    bool forgetCleanups = false;
    std::optional<DateTime> lastCleanup(std::string_view s, std::string_view c) override {
        if (forgetCleanups) return std::nullopt;
        return FailingVerifyStore::lastCleanup(s, c);
    }
};

class CleanupFixture : public ExportFixture {
  protected:
    void SetUp() override {
        ExportFixture::SetUp();
        // Serve from a store that can forget cleanups.
        stopServer();
        dueStore = std::make_unique<AlwaysDueStore>(*realStore);
        app = std::make_unique<server::ApplicationServer>(*dueStore, clock);
        startServer();
    }
    void TearDown() override {
        ExportFixture::TearDown();
        dueStore.reset();
    }

    // The station's own rows: store, shop and cleanup settings.
    void stationSettings(const std::string& retention = "30",
                         const Variant& consumerDays = Variant::null(),
                         const std::string& frequency = "D",
                         const Variant& deliveryDays = Variant("3")) {
        sql("INSERT OR REPLACE INTO LOJA (CDFILIAL, CDLOJA, IDSINCQUANTDIA) VALUES ('0001', "
            "'01', :D)",
            {{"D", deliveryDays}});
        sql("INSERT OR REPLACE INTO CAIXA (CDFILIAL, CDCAIXA, CDLOJA, IDFREQLIMPVENDA, "
            "NRDIASVENDAMSDE, NRDIASCONSMSDE) VALUES ('0001', '001', '01', :F, :R, :C)",
            {{"F", Variant(frequency)}, {"R", Variant(retention)}, {"C", consumerDays}});
    }

    static std::string iso(DateTime t) { return t.toIso(); }
    static DateTime at(int y, int mo, int d, int h, int mi = 0) {
        return DateTime::fromDateTime(y, mo, d, h, mi, 0);
    }

    // A closed shift with one sale entered an hour after it opened; the sale
    // has an item, a refund and a cash movement.
    void shiftWithSale(DateTime opened, const std::string& sale, const std::string& saleFlag,
                       const std::string& shiftFlag = "S") {
        sql("INSERT OR IGNORE INTO TURCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, DTFECHCAIX, "
            "IDATUTURCAIXA) VALUES ('0001', '001', :O, :C, :F)",
            {{"O", Variant(iso(opened))},
             {"C", Variant(iso(opened.addMinutes(600)))},
             {"F", Variant(shiftFlag)}});
        sql("INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, DTABERTUR, DTENTRVENDA, "
            "IDSITUVENDA, IDIMPVENDA) VALUES ('0001', '001', :N, :O, :E, 'O', :F)",
            {{"N", Variant(sale)},
             {"O", Variant(iso(opened))},
             {"E", Variant(iso(opened.addMinutes(60)))},
             {"F", Variant(saleFlag)}});
        sql("INSERT INTO ITEMVENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQUITVEND, QTPRODVEND, "
            "VRUNITVEND) VALUES ('0001', '001', :N, '001', 1, 10)",
            {{"N", Variant(sale)}});
        sql("INSERT INTO ESTORNOVND (CDFILIAL, CDCAIXA, NRSEQVENDA, IDIMPESTVND) VALUES "
            "('0001', '001', :N, :F)",
            {{"N", Variant(sale)}, {"F", Variant(saleFlag)}});
        sql("INSERT INTO MOVCAIXA (CDFILIAL, CDCAIXA, DTABERCAIX, NRSEQUMOVI, NRSEQVENDA, "
            "VRMOVIVEND, IDIMPMOVCAIXA) VALUES ('0001', '001', :O, :M, :N, 10, :F)",
            {{"O", Variant(iso(opened))},
             {"M", Variant(sale.substr(4))},
             {"N", Variant(sale)},
             {"F", Variant(saleFlag == "S" ? "S" : "N")}});
    }

    std::int64_t count(const std::string& table, const std::string& where = "1=1") {
        return select("SELECT COUNT(*) FROM " + table + " WHERE " + where)
            .field(std::size_t{0})
            .asInteger();
    }

    // Runs the cleanup as the export run does, with the export connection open.
    void cleanup() {
        ASSERT_TRUE(dm->net.ConectaServidor(true, "no server"));
        dm->LimpaBaseDeDados();
        dm->net.netInsereServidor.close();
    }

    bool logged(const std::string& line) const {
        const auto lines = logLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    std::vector<std::filesystem::path> backupFolders() const {
        std::vector<std::filesystem::path> folders;
        const auto root = dir / "Dados" / "Backup_Vendas";
        if (!std::filesystem::exists(root)) return folders;
        for (const auto& e : std::filesystem::directory_iterator(root)) folders.push_back(e.path());
        return folders;
    }

    std::optional<DateTime> reportedCleanup() { return realStore->lastCleanup("0001", "001"); }

    std::unique_ptr<AlwaysDueStore> dueStore;
};

}  // namespace qel::testing
