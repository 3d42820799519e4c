#include "chain_load.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <thread>

#include "bench_station.h"
#include "core/error.h"
#include "postgres_cluster.h"
#include "server_processes.h"

namespace qel::chain {
namespace {

double ownCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double secondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Every station's transfers, built on every core (encoding and compressing
// them is the heavy part and must not fall inside the measurement).
std::vector<StationWork> prepareStations(const RecordedTransfers& recorded, int stations,
                                         std::size_t transfersEach) {
    std::vector<StationWork> work(static_cast<std::size_t>(stations));
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> threads;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned t = 0; t < cores; ++t) {
        threads.emplace_back([&] {
            for (std::size_t i = next++; i < work.size(); i = next++) {
                work[i].id = chainStation(static_cast<int>(i));
                work[i].transfers = stationTransfers(recorded, work[i].id, transfersEach);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    return work;
}

std::string percentiles(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    char line[160];
    std::snprintf(line, sizeof line, "p50 %.0f  p90 %.0f  p99 %.0f  max %.0f", quantile(ms, 0.5),
                  quantile(ms, 0.9), quantile(ms, 0.99), ms.empty() ? 0.0 : ms.back());
    return line;
}

}  // namespace

ChainRun runChain(const ChainOptions& o) {
    if (o.stations <= 0 || o.sales <= 0 || o.servers <= 0 || (o.drain && o.daySales <= 0) ||
        (!o.drain && (o.rate <= 0 || o.seconds <= 0))) {
        throw Error("load_chain: stations, sales, servers, rate and seconds must be positive");
    }
    auto say = [&](const std::string& line) {
        if (o.progress) std::fprintf(stderr, "%s\n", line.c_str());
    };
    ChainRun run;
    run.options = o;
    bench::TempFolder work("qel_chain_load");
    const auto preparing = std::chrono::steady_clock::now();

    const double period = o.drain ? 0 : o.stations * 60.0 / o.rate;
    const int transfersEach =
        o.drain ? INT_MAX : static_cast<int>(std::ceil(o.seconds / period)) + 1;
    const int pending = o.drain ? o.daySales : transfersEach * o.sales;
    say("recording the agent's transfers of a station with " + std::to_string(pending) +
        " waiting sales ...");
    const RecordedTransfers recorded =
        recordTransfers(work.path() / "template", pending, o.sales, transfersEach);
    run.templateTransfers = static_cast<std::int64_t>(recorded.packets.size());
    run.templateRows = recorded.rows;
    run.templateSales = recorded.sales;
    say("preparing " + std::to_string(o.stations) + " stations x " +
        std::to_string(recorded.packets.size()) + " transfers ...");
    std::vector<StationWork> stations =
        prepareStations(recorded, o.stations, recorded.packets.size());
    const DateCalls dates = dateCalls(recorded.extractDate, recorded.customerDate);
    for (const StationWork& s : stations) {
        for (const TransferCalls& t : s.transfers) {
            run.preparedBytes +=
                static_cast<std::int64_t>(t.insert.body.size() + t.verify.body.size());
        }
    }

    auto* cluster = testing::PostgresCluster::shared();
    if (!cluster) throw Error("PostgreSQL: " + testing::PostgresCluster::unavailableReason());
    const std::string database = cluster->createDatabase();
    ServerProcesses servers(o.serverExecutable, database, o.servers, o.serverThreads, work.path());
    run.prepareSeconds = secondsSince(preparing);
    say("running ...");

    FleetPlan plan;
    plan.ports = servers.ports();
    plan.periodSeconds = period;
    plan.durationSeconds = o.seconds;
    plan.seed = o.seed;
    MachineWatch watch(database, 250);
    const double serverCpu = servers.cpuSeconds();
    const double databaseCpu = cluster->cpuSeconds();
    const double clientCpu = ownCpuSeconds();
    const MachineSample machine = machineNow();
    run.fleet = runFleet(stations, dates, plan);
    run.serverCpu = servers.cpuSeconds() - serverCpu;
    run.databaseCpu = cluster->cpuSeconds() - databaseCpu;
    run.clientCpu = ownCpuSeconds() - clientCpu;
    run.machineBusyCpu = machineNow().busyCpuSeconds - machine.busyCpuSeconds;
    run.machineCores = static_cast<double>(::sysconf(_SC_NPROCESSORS_ONLN));
    run.watch = watch.stop();
    run.databaseUri = database;
    run.database = databaseSize(database);
    return run;
}

std::string describe(const ChainRun& run) {
    const ChainOptions& o = run.options;
    const FleetResult& f = run.fleet;
    std::string out;
    char line[512];
    auto add = [&] { out += line, out += '\n'; };
    const double perTransfer =
        run.templateTransfers ? static_cast<double>(run.templateRows) / run.templateTransfers : 0;
    if (o.drain) {
        std::snprintf(line, sizeof line,
                      "%d stations, %d server(s) over one PostgreSQL: drain, each station with "
                      "%lld waiting sales sent in %lld transfers (%.0f rows each on average), all "
                      "starting at once",
                      o.stations, o.servers, static_cast<long long>(run.templateSales),
                      static_cast<long long>(run.templateTransfers), perTransfer);
    } else {
        std::snprintf(line, sizeof line,
                      "%d stations, %d server(s) over one PostgreSQL: one transfer of %d sales "
                      "(%.0f rows) per station every %.1f s for %.0f s (offered %.0f "
                      "transfers/min)",
                      o.stations, o.servers, o.sales, perTransfer, o.stations * 60.0 / o.rate,
                      o.seconds, o.rate);
    }
    add();
    std::snprintf(line, sizeof line,
                  "  prepared in %.1f s: %lld transfers recorded from the agent, %.0f MB of "
                  "request bodies",
                  run.prepareSeconds, static_cast<long long>(run.templateTransfers),
                  static_cast<double>(run.preparedBytes) / 1e6);
    add();
    const double minutes = f.seconds / 60.0;
    std::snprintf(line, sizeof line,
                  "  transfers confirmed %lld in %.1f s = %.0f transfers/min, %lld rows "
                  "(%.0f rows/s)",
                  static_cast<long long>(f.transfers), f.seconds,
                  minutes > 0 ? static_cast<double>(f.transfers) / minutes : 0.0,
                  static_cast<long long>(f.rows),
                  f.seconds > 0 ? static_cast<double>(f.rows) / f.seconds : 0.0);
    add();
    std::snprintf(line, sizeof line,
                  "  errors %lld, busy answers (503, tried again) %lld, verdicts not OK %lld, "
                  "stations that gave up %lld",
                  static_cast<long long>(f.errors), static_cast<long long>(f.busy),
                  static_cast<long long>(f.refused), static_cast<long long>(f.gaveUp));
    add();
    for (const std::string& e : f.errorSamples) out += "    " + e + "\n";
    out += "  transfer latency ms (setInsereServidor sent until verified): " +
           percentiles(f.transferMs) + "\n";
    out +=
        "  run latency ms (connect, GET /health, the transfer's calls):  " + percentiles(f.runMs) +
        "\n";
    if (o.drain) {
        std::vector<double> synced = f.syncedAtSeconds;
        std::sort(synced.begin(), synced.end());
        std::snprintf(line, sizeof line,
                      "  stations back in sync %zu of %d: half after %.1f s, 99%% after %.1f s, "
                      "all after %.1f s",
                      synced.size(), o.stations, quantile(synced, 0.5), quantile(synced, 0.99),
                      synced.empty() ? 0.0 : synced.back());
        add();
    }
    const double wallCores = f.seconds * run.machineCores;
    std::snprintf(
        line, sizeof line,
        "  CPU s: servers %.1f, PostgreSQL %.1f, this load client %.1f, everything "
        "else on the machine %.1f; machine busy %.0f%% of %.0f cores",
        run.serverCpu, run.databaseCpu, run.clientCpu,
        std::max(0.0, run.machineBusyCpu - run.serverCpu - run.databaseCpu - run.clientCpu),
        wallCores > 0 ? 100 * run.machineBusyCpu / wallCores : 0.0, run.machineCores);
    add();
    if (f.transfers > 0) {
        std::snprintf(line, sizeof line,
                      "  CPU ms per transfer: servers %.1f, PostgreSQL %.1f, client %.1f",
                      1000 * run.serverCpu / static_cast<double>(f.transfers),
                      1000 * run.databaseCpu / static_cast<double>(f.transfers),
                      1000 * run.clientCpu / static_cast<double>(f.transfers));
        add();
    }
    std::snprintf(line, sizeof line, "  load average (1 min) during the run: mean %.1f, max %.1f",
                  run.watch.loadMean, run.watch.loadMax);
    add();
    out += "  PostgreSQL sessions of the servers, mean over " + std::to_string(run.watch.samples) +
           " samples:";
    std::vector<std::pair<double, std::string>> states;
    for (const auto& [state, mean] : run.watch.sessions) states.push_back({mean, state});
    std::sort(states.rbegin(), states.rend());
    for (const auto& [mean, state] : states) {
        std::snprintf(line, sizeof line, "\n    %5.2f %s", mean, state.c_str());
        out += line;
    }
    out += "\n";
    std::snprintf(
        line, sizeof line,
        "  central database: %.0f MB, %lld rows in export_row (%.0f bytes per row)",
        static_cast<double>(run.database.bytes) / 1e6, static_cast<long long>(run.database.rows),
        run.database.rows
            ? static_cast<double>(run.database.bytes) / static_cast<double>(run.database.rows)
            : 0.0);
    add();
    std::snprintf(line, sizeof line,
                  "  its transactions: %lld committed, %lld rolled back (a COPY that met a stored "
                  "key, run again as an upsert)",
                  run.database.committed, run.database.rolledBack);
    add();
    return out;
}

bool succeeded(const ChainRun& run) {
    const FleetResult& f = run.fleet;
    if (f.errors > 0 || f.gaveUp > 0 || f.refused > 0) return false;
    return !run.options.drain ||
           f.syncedAtSeconds.size() == static_cast<std::size_t>(run.options.stations);
}

}  // namespace qel::chain
