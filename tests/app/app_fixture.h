#pragma once

// The agent's main window on a real station: a temporary folder that stands
// for the executable folder (station database, registry file, run log,
// Pontax.cds), a manual clock, and the real platform with the calls that
// would end or restart processes recorded instead.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../test_registry.h"
#include "app/main_window.h"
#include "core/clock.h"
#include "core/text.h"
#include "definitions/schema.h"
#include "log/run_log.h"
#include "platform/platform_wrapper.h"

namespace qel::testing {

// Records restart commands and terminations instead of running them.
class RecordingPlatform : public platform::PlatformWrapper {
  public:
    using PlatformWrapper::PlatformWrapper;
    std::vector<platform::ProcessInfo> agentProcesses(std::string_view name) const override {
        askedFor.push_back(std::string(name));
        return {{11, "QelExp", "/x/QelExp"}, {currentProcessId(), "QelExp", "/x/QelExp"}};
    }
    platform::Status terminateProcess(std::int64_t pid) override {
        terminated.push_back(pid);
        return {};
    }
    platform::Status startRestartCommand(const std::filesystem::path&, std::string_view name,
                                         bool watchdogVariant) override {
        restarts.push_back(std::string(name) + (watchdogVariant ? " (watchdog)" : ""));
        return {};
    }
    mutable std::vector<std::string> askedFor;
    std::vector<std::int64_t> terminated;
    std::vector<std::string> restarts;
};

inline void runSql(const std::filesystem::path& file, std::string_view script) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.string().c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, std::string(script).c_str(), nullptr, nullptr, &error);
    const std::string message = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << message;
}

inline std::string queryText(const std::filesystem::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(file.string().c_str(), &db);
    sqlite3_stmt* st = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            if (!out.empty()) out += "|";
            const auto* t = sqlite3_column_text(st, 0);
            out += t ? reinterpret_cast<const char*>(t) : "NULL";
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

class AppFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::temp_directory_path() /
              ("qel_app_" + std::to_string(platform::createPlatform()->currentProcessId()) + "_" +
               info->test_suite_name() + "_" + info->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        runSql(station(),
               "BEGIN;\n" + std::string(definitions::stationSchemaSqlite()) + "\nCOMMIT;");
        std::ofstream(dir / "registry.conf")
            << "[HKEY_LOCAL_MACHINE\\Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]\n"
            << "StringConexao = Provider=SQLite;Initial Catalog=QELCAIXA;Data Source="
            << dir.string() << "\n";
        useRegistryFile(dir / "registry.conf");
        real = platform::createPlatform();
        platform = std::make_unique<RecordingPlatform>(*real);
        runLog = std::make_unique<log::RunLog>(dir, clock);
    }

    void TearDown() override {
        window.reset();
        clearRegistryFile();
        if (!HasFailure()) std::filesystem::remove_all(dir);
    }

    std::filesystem::path station() const { return dir / "QELCAIXA.db"; }

    // Store 0001 with PARAVEND and the given stations ("code:loja:coletor:list").
    void store(const std::string& minutes, const std::string& exportType = "F") {
        runSql(station(),
               "INSERT INTO PARAVEND (CDFILIAL, IDTIPOEXPORTA, NRMINEXPVENDA, "
               "NRVENDAEXP) VALUES ('0001', '" +
                   exportType + "', " + minutes + ", '100');");
    }
    void caixa(const std::string& code, const std::string& coletor = "",
               const std::string& list = "") {
        runSql(station(),
               "INSERT INTO CAIXA (CDFILIAL, CDCAIXA, CDLOJA, IDCOLETOR, DSCAIXAVEN, "
               "IDPRIMVEZEXPON) VALUES ('0001', '" +
                   code + "', '03', '" + coletor + "', '" + list + "', 'N');");
    }

    app::TfrmExportaVenda& makeWindow(const std::string& parameter = "") {
        window = std::make_unique<app::TfrmExportaVenda>(
            app::WindowContext{clock, *platform, *runLog, dir, parameter});
        return *window;
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
    std::unique_ptr<platform::Platform> real;
    std::unique_ptr<RecordingPlatform> platform;
    std::unique_ptr<log::RunLog> runLog;
    std::unique_ptr<app::TfrmExportaVenda> window;
};

}  // namespace qel::testing
