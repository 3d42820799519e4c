#pragma once

// A chain's worth of stations against real application servers over one
// PostgreSQL: the transfers are the agent's own (recorded from a simulated
// station, then told as each station of the chain would send them), the
// servers are qelexp-server processes, the stations share one event loop.

#include <cstdint>
#include <filesystem>
#include <string>

#include "machine_watch.h"
#include "station_fleet.h"

namespace qel::chain {

struct ChainOptions {
    int stations = 1000;
    // Steady load: each station makes one transfer of `sales` sales every
    // stations * 60 / rate seconds, for `seconds`. Drain: every station
    // starts at once with `daySales` waiting sales and sends them all in
    // transfers of `sales` sales.
    bool drain = false;
    double rate = 6000;  // transfers per minute offered by the whole chain
    double seconds = 120;
    int sales = 10;
    int daySales = 300;
    int servers = 2;
    int serverThreads = 0;  // 0: the server's default
    std::filesystem::path serverExecutable;
    std::uint64_t seed = 1;
    bool progress = true;  // say on stderr what is being prepared
};

struct ChainRun {
    ChainOptions options;
    std::int64_t templateTransfers = 0;  // transfers recorded from the simulated station
    std::int64_t templateRows = 0;
    std::int64_t templateSales = 0;
    std::int64_t preparedBytes = 0;  // request bodies held for the run
    double prepareSeconds = 0;
    FleetResult fleet;
    double serverCpu = 0;
    double databaseCpu = 0;
    double clientCpu = 0;
    double machineBusyCpu = 0;  // every process of the machine
    double machineCores = 0;
    WatchReport watch;
    std::string databaseUri;  // the run's database, kept while the process runs
    DatabaseSize database;
};

// Prepares and runs the load; throws Error when PostgreSQL or a server
// cannot be started.
ChainRun runChain(const ChainOptions& options);

// The figures as the tool prints them.
std::string describe(const ChainRun& run);

// Whether the run met what it is for: no error, and for a drain every
// station back in sync.
bool succeeded(const ChainRun& run);

}  // namespace qel::chain
