#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/export_timer.h"
#include "app/pontax_file.h"
#include "app/shared_state.h"
#include "app/watchdog.h"
#include "core/clock.h"
#include "core/variant.h"
#include "db/connection.h"
#include "export/data_module.h"
#include "log/run_log.h"
#include "platform/platform.h"

namespace qel::app {

// What the main window is built from.
struct WindowContext {
    const Clock& clock;
    platform::Platform& platform;
    log::RunLog& runLog;
    std::filesystem::path executableFolder;
    std::string commandLineParameter;  // parameter 1 of the command line; empty when none
    db::ConnectionOptions databaseOptions = {};
    // The watchdog's sleep; empty: real time, cut short when the window goes.
    onDisparaThreadQelExp::Sleep watchdogSleep = {};
    // Labs only (QELEXP_TIMER_SECONDS): the timer's period instead of the
    // station's configured minutes.
    std::optional<std::chrono::seconds> timerPeriod = {};
    // Labs only: runs once on the data module when it is created (the crash
    // points install their hooks here).
    std::function<void(agent::TdtmExportaVenda&)> prepareDataModule = {};
};

// The agent's hidden main window `frmExportaVenda`: owns the station
// parameters, the export timer, the tray icon, the watchdog and the data
// module, and runs the start-up (FormCreate) and the export cycles
// (BuscaVendas). Main thread only, except the watchdog's own thread.
class TfrmExportaVenda {
  public:
    static constexpr std::string_view kExecutable = "QelExp.exe";
    static constexpr std::string_view kParameterFile = "Pontax.cds";

    explicit TfrmExportaVenda(WindowContext context);
    ~TfrmExportaVenda();
    TfrmExportaVenda(const TfrmExportaVenda&) = delete;
    TfrmExportaVenda& operator=(const TfrmExportaVenda&) = delete;

    // Start-up: station parameters, role, timer period and the first cycle.
    // Any error writes "Exception: " + message and ends it there; the
    // process goes on with what was set.
    void FormCreate();
    // Removes the tray icon and writes "FormDestroy".
    void FormDestroy();
    // The "Fechar Programa" path: the station is recorded as not running and
    // the data module is freed; the caller then ends the loop.
    void pmnuiExitClick();

    // The timer's handler: one export cycle.
    void timExpCuponsTimer();
    // One export cycle over the station list; never lets an error escape.
    void BuscaVendas();

    // Removes the tray icon and ends every process of that executable name,
    // this one included (which ends here, with exit code 0).
    void FinalizaProcesso(std::string_view executableName);

    // Splits the command-line parameter into its fields (each terminated by
    // "_", at most 10). Throws qel::Error on a last field without "_" or on
    // more than 10 fields.
    static std::vector<std::string> SeparaParametros(std::string text);

    // The agent's own station, fixed during FormCreate.
    std::string CDFILIAL, CDCAIXA, CDLOJA;
    int TipoImpFis = 0;
    // The stations exported for, in order; nullopt until FormCreate set it.
    std::optional<std::vector<std::string>> ListaCaixas;

    ExportTimer timExpCupons;
    SharedState state;
    std::unique_ptr<agent::TdtmExportaVenda> dtmExportaVenda;

    // True once "Fechar Programa" was chosen on the tray menu.
    bool exitChosen() const { return exitChosen_; }

  private:
    void GravaLog(std::string_view message);
    void startWatchdog();
    void removeStaleTrayIcon();
    void installTrayIcon();
    void readStationParameters();
    bool loadParameterFile();
    void setTimerPeriod();
    void startRestartCommand(bool watchdogVariant);
    agent::TdtmExportaVenda& dataModule();

    WindowContext context_;
    std::unique_ptr<onDisparaThreadQelExp> watchdog_;
    // The parameter file once loaded (cdsPontax); nullopt: not loaded.
    std::optional<PontaxFile> cdsPontax_;
    bool exitChosen_ = false;
};

}  // namespace qel::app
