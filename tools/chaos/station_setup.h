#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qel::chaos {

// One simulated station on a machine of its own: its folder holds the
// agent's executable, its registry file, its database and its run logs.
struct StationFolder {
    std::string name;  // "station-001"
    std::string store, station;
    std::filesystem::path folder;
    std::filesystem::path database;  // <folder>/QELCAIXA.db
    std::filesystem::path registry;  // <folder>/registry.conf
    std::filesystem::path agent;     // <folder>/QelExp
};

struct StoreSettings {
    std::filesystem::path work;       // the run's folder
    std::filesystem::path simulator;  // qelexp-simulator
    std::filesystem::path agent;      // QelExp, copied into each station's folder
    int stations = 3;
    int proxyPort = 0;  // where the agents find the server
};

// The name of station `number` (from 1) and its folder in the run's folder.
std::string stationName(int number);
std::filesystem::path stationFolder(const std::filesystem::path& work, int number);

// The point-of-sale program's parameter file ("Pontax.cds", XML form) that
// names the station, as an installed station has it beside the agent. The
// agent's own restart starts it without a command line, and it then reads
// its station from this file.
std::string parameterFileText(const StationFolder& station);

// Creates the store: one database per station (the simulator's --separate
// mode, parameter tables only, a daily cleanup with a retention of minutes
// so that it deletes exported rows during the run), the agents' folders,
// registry and parameter files, and the shadows the checker needs. A station
// folder may already exist (a disk of its own mounted there). Throws on failure.
std::vector<StationFolder> createStore(const StoreSettings& settings);

// The last sale a station database holds (its rowid; 0 without sales), and
// how many sales up to that one still wait for export (closed at the till,
// not flagged exported): the backlog of an outage drains to 0.
long long lastSale(const std::filesystem::path& database);
long long salesWaitingUpTo(const std::filesystem::path& database, long long lastSale);

// The rows still waiting for export in a station database (sales and the
// tables with an export flag of their own).
long long waitingRows(const std::filesystem::path& database);

}  // namespace qel::chaos
