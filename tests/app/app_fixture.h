#pragma once

// The agent's main window on a real station: a temporary folder that stands
// for the executable folder (station database, registry file, run log,
// Pontax.cds), a manual clock, and the real platform with the calls that
// would end or restart processes recorded instead.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../station_files.h"
#include "app/main_window.h"
#include "core/clock.h"
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

class AppFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = freshTestFolder("qel_app_");
        runSql(station(),
               "BEGIN;\n" + std::string(definitions::stationSchemaSqlite()) + "\nCOMMIT;");
        writeStationRegistry(dir);
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
    std::unique_ptr<platform::Platform> real;
    std::unique_ptr<RecordingPlatform> platform;
    std::unique_ptr<log::RunLog> runLog;
    std::unique_ptr<app::TfrmExportaVenda> window;
};

}  // namespace qel::testing
