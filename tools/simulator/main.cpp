// qelexp-simulator: creates and fills a station database, or writes live sales into one.
#include <csignal>
#include <cstdio>
#include <filesystem>

#include "simulator/simulator.h"

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void onSignal(int) {
    stopRequested.store(true);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace qel::simulator;
    const ParseResult parsed = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.showHelp) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    if (parsed.showVersion) {
        std::printf("qelexp-simulator %s\n", QELEXP_VERSION);
        return 0;
    }
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "qelexp-simulator: %s\n\n%s", parsed.error.c_str(),
                     usageText().c_str());
        return 2;
    }
    Options o = parsed.options;
    o.stop = &stopRequested;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    try {
        bool fill = true;
        if (o.live && std::filesystem::exists(o.dbPath)) {
            // Live mode on an existing station only adds sales to it.
            Database db(o.dbPath);
            sqlite3_stmt* stmt = nullptr;
            sqlite3_prepare_v2(db.get(), "SELECT COUNT(*) FROM CAIXA", -1, &stmt, nullptr);
            fill = sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_int64(stmt, 0) == 0;
            sqlite3_finalize(stmt);
        }
        if (fill) {
            const FillSummary s = fillStation(o);
            if (s.stopped) {
                std::fprintf(stderr,
                             "qelexp-simulator: stopped by a signal after %lld whole sales; "
                             "%s is not the full station asked for\n",
                             static_cast<long long>(s.sales), o.dbPath.c_str());
                return 1;
            }
            std::printf("%s: %lld sales (%lld pending), %lld rows in %.1f s\n", o.dbPath.c_str(),
                        static_cast<long long>(s.sales), static_cast<long long>(s.pending),
                        static_cast<long long>(s.rows), s.seconds);
        }
        if (o.live) {
            const LiveSummary s =
                runLive(o.dbPath, o.rate, o.durationSeconds, o.seed, stopRequested, o.quiet);
            std::printf("%s: %lld live sales in %.1f s\n", o.dbPath.c_str(),
                        static_cast<long long>(s.sales), s.seconds);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qelexp-simulator: %s\n", e.what());
        return 1;
    }
    return 0;
}
