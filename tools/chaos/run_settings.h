#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "cli/command_line.h"
#include "process.h"

namespace qel::testing {
class PostgresCluster;
}

namespace qel::chaos {

// The settings of one chaos run, from its command line.
struct RunSettings {
    std::uint64_t seed = 1;
    double minutes = 12;
    bool shortRun = false;
    bool postgres = false;
    int stations = 3;
    double rate = 2;
    int timerSeconds = 3;
    double cleanupEveryMinutes = 0.25;
    int perKind = 24;     // firings planned per fault kind (a margin over the floor)
    int faultFloor = 20;  // firings each kind needs
    // Faults done to a machine take longer (a clock step waits for the next
    // export twice): planned with a smaller margin. A long outage lasts
    // minutes and is planned a few times.
    int perMachineKind = 21;
    int machineFloor = 20;
    int perLengthyKind = 3;
    int lengthyFloor = 3;
    // A central restore takes the server down and heals over minutes.
    int perHeavyKind = 7;
    int heavyFloor = 5;
    std::int64_t outageMinMs = 120'000, outageMaxMs = 180'000;
    std::uint64_t stationDiskBytes = 1ULL << 30, centralDiskBytes = 4ULL << 30;
    std::int64_t rowFloor = 10'000;
    std::string floorsNote;
    std::filesystem::path work, bin;
};

RunSettings settingsFrom(const cli::ParsedOptions& given, const std::filesystem::path& bin);

// The folder of the build this program belongs to (two levels above it).
std::filesystem::path buildFolder();

// The command that replays the run (the same seed gives the same schedule).
std::string replayCommand(const RunSettings& s);

// Where the central store lives: a SQLite file in the run's folder, or a
// database of a temporary PostgreSQL cluster kept for the run.
class CentralLocation {
  public:
    explicit CentralLocation(const RunSettings& s);
    ~CentralLocation();
    const std::string& location() const { return location_; }

  private:
    std::string location_;
};

}  // namespace qel::chaos
