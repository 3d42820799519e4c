#pragma once

// A real station for the agent's and the application's tests: a temporary
// folder standing for the executable folder, holding the SQLite station
// database (full schema) and a sibling central database, the registry file
// that points the agent at them, the run log, a manual clock, the real
// platform and the data module itself.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/clock.h"
#include "db/connection.h"
#include "definitions/schema.h"
#include "export/data_module.h"
#include "log/run_log.h"
#include "platform/platform.h"
#include "station_files.h"

namespace qel::testing {

class StationFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = freshTestFolder("qel_station_");
        runSql(stationFile(),
               "BEGIN;\n" + std::string(definitions::stationSchemaSqlite()) + "\nCOMMIT;");
        runSql(dir / "CENTRAL.db", definitions::centralSchemaSqlite());
        writeRegistry("");

        platform = platform::createPlatform();
        runLog = std::make_unique<log::RunLog>(dir, clock);
        dm = std::make_unique<agent::TdtmExportaVenda>(
            agent::DataModuleContext{clock, *platform, runLog->sink(), {}, dir});
        dm->run.CDFILIAL = "0001";
        dm->run.CDCAIXA = "001";
        dm->run.CDLOJA = "01";
        station = std::make_unique<db::Connection>(clock, stationConnectionString());
    }

    void TearDown() override {
        station.reset();
        dm.reset();
        clearRegistryFile();
        if (!HasFailure()) std::filesystem::remove_all(dir);
    }

    std::filesystem::path stationFile() const { return dir / "QELCAIXA.db"; }
    std::string stationConnectionString() const { return sqliteStationConnection(dir); }

    // Rewrites the registry file; `extra` holds more "name = value" lines.
    void writeRegistry(const std::string& extra) { writeStationRegistry(dir, extra); }
    // After a test wrote the registry file itself.
    void registryWritten() { useRegistryFile(dir / "registry.conf"); }

    // Runs SQL on the station database outside the agent.
    void sql(std::string_view statement, const db::Params& params = {}) {
        station->execute(statement, params);
    }
    Dataset select(std::string_view statement, const db::Params& params = {}) {
        return station->query(statement, params);
    }
    std::string scalar(std::string_view statement, const db::Params& params = {}) {
        Dataset d = select(statement, params);
        return d.isEmpty() ? std::string("<none>") : d.field(std::size_t{0}).asString();
    }

    // The run log's lines of today (UTF-8, without the date-time prefix).
    std::vector<std::string> logLines() const { return runLogLines(runLog->fileFor(clock.now())); }
    bool logHas(const std::string& line) const {
        for (const auto& l : logLines()) {
            if (l == line) return true;
        }
        return false;
    }
    std::size_t logCount(const std::string& prefix) const {
        std::size_t n = 0;
        for (const auto& l : logLines()) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }

    std::filesystem::path dir;
    ManualClock clock{DateTime::fromDateTime(2026, 12, 6, 10, 0, 0)};
    std::unique_ptr<platform::Platform> platform;
    std::unique_ptr<log::RunLog> runLog;
    std::unique_ptr<agent::TdtmExportaVenda> dm;
    std::unique_ptr<db::Connection> station;
};

}  // namespace qel::testing
