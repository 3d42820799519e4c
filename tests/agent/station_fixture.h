#pragma once

// A real station for the agent's tests: a temporary folder holding the
// SQLite station database (full schema), a sibling central database, the
// registry file that points the agent at them, the run log, a manual clock
// and the data module itself.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../test_registry.h"
#include "core/clock.h"
#include "core/text.h"
#include "db/connection.h"
#include "definitions/schema.h"
#include "export/data_module.h"
#include "log/run_log.h"
#include "platform/platform.h"

namespace qel::testing {

inline void runScript(const std::filesystem::path& file, std::string_view script) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.string().c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, std::string(script).c_str(), nullptr, nullptr, &error);
    const std::string message = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << message;
}

class StationFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::temp_directory_path() /
              ("qel_station_" + std::to_string(platform::createPlatform()->currentProcessId()) +
               "_" + info->test_suite_name() + "_" + info->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        runScript(dir / "QELCAIXA.db", definitions::stationSchemaSqlite());
        runScript(dir / "CENTRAL.db", definitions::centralSchemaSqlite());
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

    std::string stationConnectionString() const {
        return "Provider=SQLite;Initial Catalog=QELCAIXA;Data Source=" + dir.string();
    }

    // Rewrites the registry file; `extra` holds more "name = value" lines.
    void writeRegistry(const std::string& extra) {
        std::ofstream(dir / "registry.conf")
            << "[HKEY_LOCAL_MACHINE\\Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]\n"
            << "StringConexao = " << stationConnectionString() << "\n"
            << extra;
        useRegistryFile(dir / "registry.conf");
    }
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
    std::vector<std::string> logLines() const {
        std::ifstream in(runLog->fileFor(clock.now()), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        std::vector<std::string> lines;
        std::string line;
        std::istringstream all(text::cp1252ToUtf8(s.str()));
        while (std::getline(all, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const auto sep = line.find(" - ");
            lines.push_back(sep == std::string::npos ? line : line.substr(sep + 3));
        }
        return lines;
    }

    std::filesystem::path dir;
    ManualClock clock{DateTime::fromDateTime(2026, 12, 6, 10, 0, 0)};
    std::unique_ptr<platform::Platform> platform;
    std::unique_ptr<log::RunLog> runLog;
    std::unique_ptr<agent::TdtmExportaVenda> dm;
    std::unique_ptr<db::Connection> station;
};

}  // namespace qel::testing
