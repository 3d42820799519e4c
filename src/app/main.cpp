// QelExp: the resident sales-export agent of a point-of-sale station.
// One instance per machine; start-up, then one export cycle per timer tick
// until a stop request (see README: signals) ends it.
#include <cstdio>
#include <exception>
#include <string>

#include "app/event_loop.h"
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
    app::TfrmExportaVenda window(
        {clock, *platform, runLog, folder, argc > 1 ? std::string(argv[1]) : std::string()});
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
