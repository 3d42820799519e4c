#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qel::simulator {

// What to generate. Every field has a usable default; the command line fills it through
// parseArguments.
struct Options {
    std::string dbPath;                       // station database file (created when missing)
    std::string centralPath;                  // central database file; empty: none
    std::vector<std::string> stores{"0001"};  // store codes (CDFILIAL, 4 characters)
    int stations = 2;                         // stations per store: "001", "002", ...
    int associatedStations = 0;               // the last N stations are exported by station "001"
    int days = 2;                             // days of history
    std::string startDate;                    // first day "YYYY-MM-DD"; empty: today minus days
    int salesPerDay = 100;                    // per station and day
    std::uint64_t seed = 1;
    double exportedFraction = 0.9;             // share of each station's sales already exported
    std::optional<std::int64_t> pendingSales;  // when set: exactly this many pending per station
    // One database file per station (station 001 shares its own with the stations it
    // exports for), each numbering its rows itself, as separate machines do. The files are
    // named after dbPath: "station.db" gives "station-0001-001.db", "station-0001-002.db"...
    bool separate = false;
    // The stations (numbers) this database holds; empty: 1..stations. Set per file by the
    // separate fill.
    std::vector<int> stationNumbers;
    bool analyze = true;  // run ANALYZE after the bulk fill
    bool quiet = false;   // no progress lines on stderr
    // When set and true, a fill stops at the next sale, keeping whole sales.
    const std::atomic<bool>* stop = nullptr;

    // Live mode: keep inserting new sales at `rate` per second for `durationSeconds`
    // (0: until SIGINT or SIGTERM).
    bool live = false;
    double rate = 1.0;
    double durationSeconds = 0;
};

struct ParseResult {
    Options options;
    bool showHelp = false;
    bool showVersion = false;
    std::string error;  // non-empty when the arguments are invalid
};

ParseResult parseArguments(const std::vector<std::string>& arguments);

// The --help text.
std::string usageText();

// The file of one station's database in a separate fill (see Options::separate).
std::string separateDatabasePath(const std::string& dbPath, const std::string& store,
                                 const std::string& station);

// Store codes are zero-padded to 4 characters: "1" -> "0001".
std::string storeCode(int number);
std::string stationCode(int number);

}  // namespace qel::simulator
