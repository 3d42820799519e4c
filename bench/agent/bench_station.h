#pragma once

// What the agent's benchmarks share: a simulated station the data module
// exports from (registry file, run log, manual clock), a cache of large
// prepared station files, and the application server with its SQLite
// central store running in-process on 127.0.0.1.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "../../tests/db/temp_folder.h"
#include "application_server.h"
#include "central_store.h"
#include "core/clock.h"
#include "export/data_module.h"
#include "http_server.h"
#include "log/run_log.h"
#include "platform/platform.h"
#include "simulator/simulator.h"

namespace qel::bench {

// The day after which every simulated sale is old enough to be exported.
inline DateTime benchNow() {
    return DateTime::fromDateTime(2026, 12, 7, 12, 0, 0);
}

// A fresh temporary folder, removed with everything in it on destruction.
using TempFolder = db::testing::TempFolder;

// Simulator settings for a station "0001"/"001" holding `history` exported
// sales (and their items, payments, shifts...) and `pending` waiting ones,
// all closed before benchNow().
inline simulator::Options stationOptions(std::int64_t history, std::int64_t pending) {
    simulator::Options o;
    o.stores = {"0001"};
    o.stations = 1;
    const std::int64_t total = history + pending;
    const int perDay = 5000;
    o.days = static_cast<int>(std::max<std::int64_t>(2, (total + perDay - 1) / perDay));
    o.salesPerDay = static_cast<int>((total + o.days - 1) / o.days);
    // The last simulated day ends before benchNow().
    const simulator::Millis first =
        *simulator::parseDay("2026-12-07") - (o.days + 1) * simulator::kDay;
    o.startDate = simulator::isoText(first).substr(0, 10);
    o.pendingSales = pending;
    o.seed = 7;
    o.quiet = true;
    return o;
}

// Creates `folder`/QELCAIXA.db (station schema, filled) and the sibling
// central database.
inline void buildStation(const std::filesystem::path& folder, std::int64_t history,
                         std::int64_t pending) {
    std::filesystem::create_directories(folder);
    {
        simulator::Database db((folder / "QELCAIXA.db").string());
        simulator::fillStation(db.get(), stationOptions(history, pending));
        simulator::execute(db.get(), "PRAGMA wal_checkpoint(TRUNCATE)");
    }
    simulator::Database central((folder / "CENTRAL.db").string(), true);
}

// The agent's side: the registry file pointing at the station folder, the
// run log, a manual clock and the data module.
class AgentHarness {
  public:
    // `stationFolder` holds QELCAIXA.db; `work` receives the registry and the log.
    AgentHarness(const std::filesystem::path& stationFolder, const std::filesystem::path& work)
        : stationFolder_(stationFolder), work_(work), clock(benchNow()) {
        writeRegistry("");
        ::setenv("QELEXP_REGISTRY", (work_ / "registry.conf").c_str(), 1);
        platform = platform::createPlatform();
        runLog = std::make_unique<log::RunLog>(work_, clock);
        const db::ConnectionOptions options;
        dm = std::make_unique<agent::TdtmExportaVenda>(
            agent::DataModuleContext{clock, *platform, runLog->sink(), options, work_});
        dm->run.CDFILIAL = "0001";
        dm->run.CDCAIXA = "001";
        const Dataset loja = dm->adcCaixa.query("SELECT CDLOJA FROM CAIXA WHERE CDCAIXA = '001'");
        dm->run.CDLOJA = loja.isEmpty() ? "01" : loja.field(std::size_t{0}).asString();
    }
    ~AgentHarness() {
        dm->net.netInsereServidor.close();
        dm->net.netAjuste.close();
        dm->net.netAtualizaPontuacao.close();
        dm.reset();
        ::unsetenv("QELEXP_REGISTRY");
    }
    AgentHarness(const AgentHarness&) = delete;
    AgentHarness& operator=(const AgentHarness&) = delete;

    void writeRegistry(const std::string& extra) {
        std::ofstream(work_ / "registry.conf")
            << "[HKEY_LOCAL_MACHINE\\Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]\n"
            << "StringConexao = Provider=SQLite;Initial Catalog=QELCAIXA;Data Source="
            << stationFolder_.string() << "\n"
            << extra;
    }
    void pointAtServer(int port) {
        writeRegistry("IPServer = 127.0.0.1:" + std::to_string(port) + "\n");
    }

    // The rows of the last change check over every table.
    std::int64_t packetRows() const {
        std::int64_t rows = 0;
        const VariantArray& packets = dm->PacotesExportacao.asArray();
        for (const Variant& p : packets) {
            if (p.isPacket()) rows += static_cast<std::int64_t>(p.asPacket().recordCount());
        }
        return rows;
    }

    // One pass as the export run makes it: change check, then transfer.
    bool pass() {
        const bool pending = dm->ExisteDadosExportar(clock.now(), clock.now());
        if (pending) dm->ExportaDados(clock.now(), clock.now());
        return pending;
    }

  private:
    std::filesystem::path stationFolder_;
    std::filesystem::path work_;

  public:
    ManualClock clock;
    std::unique_ptr<platform::Platform> platform;
    std::unique_ptr<log::RunLog> runLog;
    std::unique_ptr<agent::TdtmExportaVenda> dm;
};

// The application server with its SQLite central store on 127.0.0.1.
class LoopbackServer {
  public:
    LoopbackServer(const std::filesystem::path& storeFile, const Clock& clock)
        : store_(server::openSqliteStore(storeFile)),
          app_(std::make_unique<server::ApplicationServer>(*store_, clock)),
          http_(std::make_unique<server::HttpServer>(*app_, server::HttpServerOptions{})) {
        port_ = http_->bindToAnyPort("127.0.0.1");
        http_->start();
    }
    ~LoopbackServer() {
        http_->stop();
        http_.reset();
        app_.reset();
        store_.reset();
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    server::CentralStore& store() { return *store_; }

  private:
    std::unique_ptr<server::CentralStore> store_;
    std::unique_ptr<server::ApplicationServer> app_;
    std::unique_ptr<server::HttpServer> http_;
    int port_ = 0;
};

// Brings a simulated station to the state of one whose agent has exported
// everything: one transfer to a throw-away server acknowledges the rows the
// simulator left waiting outside the sales, then the rows that are sent at
// every run whatever their state (open orders, the NFC-e counter, the blocked
// products) are cleared, so that the change check finds nothing.
inline void settleStation(const std::filesystem::path& folder) {
    {
        TempFolder work("qel_bench_settle");
        AgentHarness h(folder, work.path());
        LoopbackServer server(work.path() / "central_store.db", h.clock);
        h.pointAtServer(server.port());
        if (!h.dm->net.ConectaServidor(true, "sem servidor")) {
            throw std::runtime_error("settling the station: no server");
        }
        for (int i = 0; i < 3 && h.pass(); ++i) {
        }
        h.dm->adcCaixa.execute("UPDATE ITCOMANDAVEN SET IDSTPRCOMVEN = '6'");
        h.dm->adcCaixa.execute("DELETE FROM NOVOCODIGO WHERE CDCONTADOR LIKE 'NFCE%'");
        h.dm->adcCaixa.execute("DELETE FROM PRODBLOQVNDTAA");
        if (h.dm->ExisteDadosExportar(h.clock.now(), h.clock.now())) {
            throw std::runtime_error("settling the station: rows still pending");
        }
        h.dm->adcCaixa.execute("PRAGMA wal_checkpoint(TRUNCATE)");
    }
    std::ofstream(folder / "settled") << "ok\n";
}

// A folder holding a station with `history` exported sales and `pending`
// waiting ones, built once and kept for later runs (under QELEXP_BENCH_CACHE,
// or /tmp/qelexp-bench-cache). Benchmarks that change the station work on a copy.
inline std::filesystem::path cachedStation(std::int64_t history, std::int64_t pending = 0) {
    const char* root = std::getenv("QELEXP_BENCH_CACHE");
    const std::filesystem::path base = root && *root ? root : "/tmp/qelexp-bench-cache";
    const std::filesystem::path folder =
        base / ("station-" + std::to_string(history) + "-" + std::to_string(pending) + "-v7");
    if (std::filesystem::exists(folder / "settled")) return folder;
    if (std::filesystem::exists(folder / "complete")) {
        if (pending == 0) settleStation(folder);
        return folder;
    }
    std::filesystem::remove_all(folder);
    std::fprintf(stderr, "building a station with %lld exported and %lld pending sales in %s\n",
                 static_cast<long long>(history), static_cast<long long>(pending), folder.c_str());
    buildStation(folder, history, pending);
    std::ofstream(folder / "complete") << "ok\n";
    if (pending == 0) settleStation(folder);
    return folder;
}

// Copies the two database files of a station folder into `to`.
inline void copyStation(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::filesystem::create_directories(to);
    for (const char* name : {"QELCAIXA.db", "CENTRAL.db"}) {
        std::filesystem::copy_file(from / name, to / name,
                                   std::filesystem::copy_options::overwrite_existing);
    }
}

}  // namespace qel::bench
