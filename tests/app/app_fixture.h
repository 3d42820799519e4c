#pragma once

// The agent's main window on a real station (the station set-up of every
// agent test), with the real platform's calls that would end or restart
// processes recorded instead.

#include <string>
#include <vector>

#include "../station_fixture.h"
#include "app/main_window.h"
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

class AppFixture : public StationFixture {
  protected:
    void SetUp() override {
        StationFixture::SetUp();
        recording = std::make_unique<RecordingPlatform>(*platform);
    }

    void TearDown() override {
        window.reset();
        StationFixture::TearDown();
    }

    // Store 0001's PARAVEND row with this period in minutes (SQL text).
    void store(const std::string& minutes, const std::string& exportType = "F") {
        runSql(stationFile(),
               "INSERT INTO PARAVEND (CDFILIAL, IDTIPOEXPORTA, NRMINEXPVENDA, "
               "NRVENDAEXP) VALUES ('0001', '" +
                   exportType + "', " + minutes + ", '100');");
    }
    // A station of store 0001 in shop 03: its collector mark and station list.
    void caixa(const std::string& code, const std::string& coletor = "",
               const std::string& list = "") {
        runSql(stationFile(),
               "INSERT INTO CAIXA (CDFILIAL, CDCAIXA, CDLOJA, IDCOLETOR, DSCAIXAVEN, "
               "IDPRIMVEZEXPON) VALUES ('0001', '" +
                   code + "', '03', '" + coletor + "', '" + list + "', 'N');");
    }

    app::TfrmExportaVenda& makeWindow(const std::string& parameter = "") {
        window = std::make_unique<app::TfrmExportaVenda>(
            app::WindowContext{clock, *recording, *runLog, dir, parameter});
        return *window;
    }

    std::unique_ptr<RecordingPlatform> recording;
    std::unique_ptr<app::TfrmExportaVenda> window;
};

}  // namespace qel::testing
