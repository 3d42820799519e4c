// QelExp: the resident sales-export agent of a point-of-sale station.
// One instance per machine; start-up, then one export cycle per timer tick
// until a stop request (see README: signals) ends it.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "app/crash_watcher.h"
#include "app/event_loop.h"
#include "app/lab_settings.h"
#include "app/main_window.h"
#include "core/clock.h"
#include "log/run_log.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    using namespace qel;
    auto platform = platform::createPlatform();
    // A second instance ends at once and touches nothing. If the lock cannot
    // be taken at all the agent runs unguarded rather than not at all.
    if (platform->acquireSingleInstance("QELEXP") == platform::InstanceLock::AlreadyRunning) {
        return 0;
    }
    // Before any thread starts, so that every thread inherits it.
    platform->prepareStopRequests();

    SystemClock clock;
    const auto folder = platform->executableFolder();
    log::RunLog runLog(folder, clock);
    app::WindowContext context{clock, *platform, runLog, folder,
                               argc > 1 ? std::string(argv[1]) : std::string()};

    // Lab settings (see README): a value that cannot be used is reported and
    // ignored; the agent then runs as in a store.
    const auto labLine = [&runLog](const std::string& line) {
        try {
            runLog.GravaLog(line);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "QelExp: %s\n", e.what());
        }
    };
    const app::LabSettings lab = app::LabSettings::read(std::getenv);
    for (const std::string& problem : lab.problems) labLine(problem);
    context.timerPeriod = lab.timerPeriod;
    std::unique_ptr<app::CrashWatcher> crashWatcher;
    if (lab.crashAt) {
        labLine("QELEXP_CRASH_AT: o agente termina com SIGKILL na chegada " +
                std::to_string(lab.crashAt->occurrence) + " a " +
                std::string(app::crashPointName(lab.crashAt->point)) + " (laboratório).");
        crashWatcher = std::make_unique<app::CrashWatcher>(
            *lab.crashAt, [labLine](app::CrashPoint point, std::int64_t n) {
                labLine("QELEXP_CRASH_AT: SIGKILL em " + std::string(app::crashPointName(point)) +
                        ", chegada " + std::to_string(n) + ".");
                app::killThisProcessHard();
            });
        context.prepareDataModule = [&crashWatcher](agent::TdtmExportaVenda& dm) {
            crashWatcher->install(dm);
        };
    }
    app::TfrmExportaVenda window(std::move(context));
    try {
        window.FormCreate();
    } catch (const std::exception& e) {
        // Only the run log itself failing gets here; the agent goes on.
        std::fprintf(stderr, "QelExp: %s\n", e.what());
    }

    app::EventLoop loop(
        clock, window.timExpCupons,
        [&](std::optional<std::chrono::milliseconds> timeout) {
            return platform->waitForStopRequest(timeout) || window.exitChosen();
        },
        [&] {
            try {
                window.timExpCuponsTimer();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "QelExp: %s\n", e.what());
            }
        });
    loop.run();

    // "Fechar Programa": the station is recorded as not running, then the
    // window goes.
    try {
        window.pmnuiExitClick();
        window.FormDestroy();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "QelExp: %s\n", e.what());
    }
    return 0;
}
