// qelexp-chaos: a simulated store selling while its agents export through a
// fault proxy to a server that is killed now and then; then the checker.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>
#include <thread>

#include "../../tests/server/postgres_cluster.h"
#include "agent_control.h"
#include "central_copies.h"
#include "central_rows.h"
#include "cli/command_line.h"
#include "core/clock.h"
#include "core/error.h"
#include "export_watcher.h"
#include "fault_kinds.h"
#include "fault_proxy/fault_proxy.h"
#include "fault_runner.h"
#include "machine_clock.h"
#include "recovery.h"
#include "row_check.h"
#include "run_logs.h"
#include "run_settings.h"
#include "schedule.h"
#include "server_control.h"
#include "simulators.h"
#include "station_backups.h"
#include "station_setup.h"
#include "tmpfs_disk.h"
#include "verdict.h"

namespace {

using namespace std::chrono_literals;
using namespace qel::chaos;
using Steady = std::chrono::steady_clock;

constexpr const char* kUsage = R"(Usage: qelexp-chaos [options]

Runs a simulated store under faults and checks that every row its stations
wrote reached the central store exactly once. Stations (each in its own
database and folder, with its own resident agent QelExp) sell live through
the station simulator; the agents export through a fault proxy to
qelexp-server. A seeded schedule fires server kills, connection cuts,
delays, 5xx, malformed and partial answers, agent kills (plain, and at its
acknowledgement and cleanup), locked station databases, unwritable run-log
folders, clock steps of the agents' and the server's machines, full disks
(each station's, and a SQLite central store's), stations restored from a
backup, the central store restored from a copy minutes old (the stations
reconcile their short days), long server outages and (PostgreSQL) restarts
of the central database. Then the faults and the sales stop, the agents
drain, and the checker compares every station, and what each had before a
restore, with the central store (and what it held before each central
restore). It needs root (the disks are tmpfs mounts) and
libfaketime (Debian package faketime).

Options:
  --seed N            schedule seed (default: drawn, and printed)
  --minutes M         minutes of faults (default 12; --short: 3)
  --short             the CI run: seed 1, 6 minutes, every fault type at
                      least 5 times (those done to a machine 3 times), a
                      lower row floor
  --central KIND      sqlite (default) or postgres (a temporary cluster)
  --stations N        stations, each with its own agent (default 3)
  --rate R            live sales per second over the whole store (default 2)
  --timer-seconds S   the agents' export period (default 3)
  --work DIR          the run's folder (default: a new folder under /tmp)
  --bin DIR           the build folder holding the programs (default: found
                      from this program's location)

Exit codes: 0 pass, 1 fail, 2 usage error. The seed and the command that
replays the run are printed at the end, pass or fail.
)";

const std::vector<qel::cli::OptionSpec> kOptions = {
    {"--seed"}, {"--minutes"},       {"--short", false}, {"--central"}, {"--stations"},
    {"--rate"}, {"--timer-seconds"}, {"--work"},         {"--bin"},
};

std::atomic<bool> interrupted{false};

void onSignal(int) {
    interrupted = true;
}

// Waits until `until`, keeping the agents of `lane` running meanwhile.
void waitKeepingAgents(Steady::time_point until, std::vector<AgentControl*> agents) {
    while (Steady::now() < until && !interrupted) {
        for (AgentControl* a : agents) a->ensureRunning();
        std::this_thread::sleep_for(250ms);
    }
}

std::int64_t sentRows(const std::filesystem::path& serverLog) {
    std::ifstream in(serverLog);
    std::string line;
    std::int64_t rows = 0;
    while (std::getline(in, line)) {
        if (line.find("call=Exp.rdmInsereServidor.setInsereServidor") == std::string::npos ||
            line.find("status=200") == std::string::npos) {
            continue;
        }
        const auto at = line.find(" rows=");
        if (at != std::string::npos) rows += std::stoll(line.substr(at + 6));
    }
    return rows;
}

int run(const qel::cli::ParsedOptions& given) {
    RunSettings s = settingsFrom(given, buildFolder());
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    std::filesystem::create_directories(s.work);
    std::cout << "chaos run in " << s.work.string() << ", seed " << s.seed << "\n" << std::flush;
    int exitCode = qel::cli::kExitFailure;
    try {
        Processes processes;
        Journal journal(s.work / "journal.tsv");
        // Each station's folder (database, run logs, agent) and a SQLite
        // central store sit on disks of their own, which the faults fill.
        std::vector<std::unique_ptr<TmpfsDisk>> stationDisks;
        for (int i = 1; i <= s.stations; ++i) {
            stationDisks.push_back(
                std::make_unique<TmpfsDisk>(stationFolder(s.work, i), s.stationDiskBytes));
        }
        std::unique_ptr<TmpfsDisk> centralDisk;
        if (!s.postgres)
            centralDisk = std::make_unique<TmpfsDisk>(s.work / "central", s.centralDiskBytes);
        CentralLocation cluster(s);
        ServerControl server(processes, s.bin / "server" / "qelexp-server", cluster.location(),
                             s.work, s.cleanupEveryMinutes);
        MachineClock serverClock(s.work / "clocks" / "server");
        server.setEnvironment(serverClock.environment());
        server.start();
        qel::faults::FaultProxy proxy("127.0.0.1", server.port(), s.seed);

        StoreSettings store;
        store.work = s.work;
        store.simulator = s.bin / "tools" / "simulator" / "qelexp-simulator";
        store.agent = s.bin / "src" / "app" / "QelExp";
        store.stations = s.stations;
        store.proxyPort = proxy.port();
        const auto stations = createStore(store);

        Simulators simulators(processes, store.simulator, stations, s.rate);
        simulators.start();
        std::vector<std::unique_ptr<AgentControl>> agents;
        std::vector<std::unique_ptr<MachineClock>> agentClocks;
        std::map<std::string, std::filesystem::path> agentFolders;
        for (const StationFolder& st : stations) {
            agentClocks.push_back(std::make_unique<MachineClock>(s.work / "clocks" / st.name));
            agents.push_back(
                std::make_unique<AgentControl>(st, processes, journal, s.timerSeconds));
            agents.back()->setEnvironment(agentClocks.back()->environment());
            agents.back()->start();
            agentFolders[st.name] = st.folder;
        }
        ExportWatcher watcher(agentFolders);
        StationBackups backups(stations, s.work / "backups", std::chrono::seconds(60));
        // The central store's copies, each minute, as its operator keeps them.
        const auto centralFiles =
            s.postgres ? postgresCentralFiles(cluster.location(),
                                              qel::testing::PostgresCluster::shared()->binaries())
                       : sqliteCentralFiles(cluster.location(), s.work / "replaced-central");
        CentralBackups centralBackups(*centralFiles, s.work / "backups" / "central",
                                      std::chrono::seconds(60));

        // The faults: one lane for the server and the connection, one per agent.
        ScheduleSettings plan;
        plan.seed = s.seed;
        plan.durationMs = static_cast<std::int64_t>(s.minutes * 60'000);
        plan.agents = s.stations;
        plan.perKind = s.perKind;
        plan.perMachineKind = s.perMachineKind;
        plan.perLengthyKind = s.perLengthyKind;
        plan.perHeavyKind = s.perHeavyKind;
        plan.postgres = s.postgres;
        plan.outageMinMs = s.outageMinMs;
        plan.outageMaxMs = s.outageMaxMs;
        const auto lanes = planFaults(plan);
        FaultTargets targets;
        targets.simulators = &simulators;
        targets.watcher = &watcher;
        targets.serverClock = &serverClock;
        for (auto& c : agentClocks) targets.agentClocks.push_back(c.get());
        for (auto& d : stationDisks) targets.stationDisks.push_back(d.get());
        targets.centralDisk = centralDisk.get();
        targets.backups = &backups;
        targets.restoredFolder = s.work / "restored";
        targets.centralBackups = &centralBackups;
        if (s.postgres) {
            targets.restartCentral = [](std::chrono::milliseconds down) {
                qel::testing::PostgresCluster::shared()->restart(down);
            };
        }
        FaultRunner runner(proxy, server, agents, journal, s.timerSeconds, targets);
        const auto started = Steady::now();
        std::vector<std::thread> threads;
        std::atomic<int> failures{0};
        std::atomic<std::size_t> finishedLanes{0};
        for (std::size_t lane = 0; lane < lanes.size(); ++lane) {
            std::vector<AgentControl*> mine;
            if (lane > 0) mine.push_back(agents[lane - 1].get());
            threads.emplace_back([&, lane, mine] {
                for (const PlannedFault& f : lanes[lane]) {
                    waitKeepingAgents(started + std::chrono::milliseconds(f.atMs), mine);
                    if (interrupted) return;
                    try {
                        runner.fire(f);
                    } catch (const std::exception& e) {
                        ++failures;
                        std::cerr << "fault " << f.kind << " failed: " << e.what() << "\n";
                    }
                }
                waitKeepingAgents(started + std::chrono::milliseconds(plan.durationMs), mine);
                ++finishedLanes;
            });
        }
        // Sales go on while the lanes run; simulators that died (a lock held
        // beyond their busy timeout) are started again.
        while (finishedLanes < lanes.size() && !interrupted) {
            simulators.ensureRunning();
            std::this_thread::sleep_for(500ms);
        }
        for (std::thread& t : threads) t.join();
        runner.finish();
        proxy.disarm();
        std::cout
            << "faults done after "
            << std::chrono::duration_cast<std::chrono::seconds>(Steady::now() - started).count()
            << " s; stopping the sales and draining\n"
            << std::flush;
        simulators.stop();
        std::vector<AgentControl*> all;
        for (auto& a : agents) all.push_back(a.get());
        // The stations' next daily reconciliation, on the true clocks: one
        // made while an agent's clock was stepped past noon judged the day
        // beyond the stations' tiny retention and recorded it done.
        for (const StationFolder& st : stations) {
            for (const auto& record : reconciliationRecords(st)) std::filesystem::remove(record);
        }
        const auto reconcileBy = Steady::now() + std::chrono::seconds(20 * s.timerSeconds + 60);
        std::size_t reconciled = 0;
        while (Steady::now() < reconcileBy && !interrupted) {
            for (AgentControl* a : all) a->ensureRunning();
            reconciled = 0;
            for (const StationFolder& st : stations) reconciled += reconciledToday(st) ? 1 : 0;
            if (reconciled == stations.size()) break;
            std::this_thread::sleep_for(1s);
        }
        std::cout << "stations reconciled again before the drain: " << reconciled << " of "
                  << stations.size() << "\n"
                  << std::flush;
        if (!drain(stations, all, watcher, s.timerSeconds))
            std::cout << "the drain did not complete\n";
        for (auto& a : agents) a->stop();
        server.stop();

        const auto central = openCentralRows(cluster.location());
        RunFigures figures;
        figures.seed = s.seed;
        figures.replay = replayCommand(s);
        std::tie(figures.storedRows, figures.storedBytes) = central->totals();
        figures.sentRows = sentRows(s.work / "server.log");
        figures.sentBytes = static_cast<std::int64_t>(proxy.requestBytes());
        std::vector<std::string> kinds;
        for (const FaultKind& k : faultKindsFor(s.postgres)) kinds.emplace_back(k.name);
        figures.recovery =
            tallyRecoveries(readJournal(s.work / "journal.tsv"), watcher.completedByAgent(), kinds);
        std::vector<StationHistory> files;
        for (const StationFolder& st : stations)
            files.push_back({st.database, earlierCopies(s.work / "restored" / st.name)});
        // The central stores as each central restore found them: what the
        // server held before.
        std::vector<std::unique_ptr<CentralRows>> replaced;
        std::vector<CentralRows*> replacedStores;
        {
            std::ofstream list(s.work / "replaced-central.txt");
            for (const std::string& location : centralBackups.replaced()) {
                list << location << "\n";
                replaced.push_back(openCentralRows(location));
                replacedStores.push_back(replaced.back().get());
            }
        }
        const auto tables = checkRows(files, *central, replacedStores);
        for (const auto& [kind, count] : runner.missed())
            std::cout << "planned but not fired: " << kind << " " << count << "\n";
        int unplanned = 0;
        for (auto& a : agents) unplanned += a->unplannedRestarts();
        std::cout << "agents found gone and started again: " << unplanned
                  << "; simulators restarted: " << simulators.restarts() << "\n";
        if (failures > 0) std::cout << "faults that failed to fire: " << failures << "\n";
        Floors floors;
        floors.faultsPerKind = s.faultFloor;
        for (const FaultKind& k : faultKindsFor(s.postgres)) {
            if (k.machine)
                floors.kindFloors[std::string(k.name)] = k.lengthy ? s.lengthyFloor
                                                         : k.heavy ? s.heavyFloor
                                                                   : s.machineFloor;
        }
        floors.clockStepLimitSeconds = s.timerSeconds + 60.0;
        floors.rowsWritten = s.rowFloor;
        floors.why = s.floorsNote;
        exitCode = report(std::cout, tables, figures, floors) && !interrupted
                       ? qel::cli::kExitSuccess
                       : qel::cli::kExitFailure;
    } catch (const std::exception& e) {
        std::cerr << "qelexp-chaos: " << e.what() << "\n";
        std::cout << "seed: " << s.seed << "\nreplay: " << replayCommand(s) << "\nFAIL\n";
    }
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    return qel::cli::runProgram("qelexp-chaos", kUsage, argc, argv, kOptions, run);
}
