#include "run_settings.h"

#include <unistd.h>

#include <chrono>
#include <random>

#include "../../tests/server/postgres_cluster.h"
#include "core/error.h"

namespace qel::chaos {

RunSettings settingsFrom(const cli::ParsedOptions& given, const std::filesystem::path& bin) {
    RunSettings s;
    s.shortRun = given.has("--short");
    if (s.shortRun) {
        s.minutes = 6;
        s.perKind = 8;
        s.faultFloor = 5;
        s.perMachineKind = 4;
        s.machineFloor = 3;
        s.perHeavyKind = 4;
        s.heavyFloor = 3;
        s.outageMinMs = 30'000;
        s.outageMaxMs = 60'000;
        s.rowFloor = 2'000;
        s.floorsNote =
            "short run: every fault type at least 5 times (not 20), those done to a machine 3 "
            "times (central restores 3, not 5), outages of 30 to 60 s, at least 2,000 rows (not "
            "10,000)";
    }
    if (given.has("--seed")) {
        s.seed = static_cast<std::uint64_t>(given.integer("--seed", 1, 0, INT64_MAX));
    } else if (!s.shortRun) {
        s.seed = std::random_device{}() % 1'000'000;
    }
    s.minutes = given.number("--minutes", s.minutes, 0.5, 24 * 60);
    const std::string central = given.text("--central", "sqlite");
    if (central != "sqlite" && central != "postgres") {
        throw cli::UsageError("--central is sqlite or postgres");
    }
    s.postgres = central == "postgres";
    s.stations = static_cast<int>(given.integer("--stations", s.stations, 1, 50));
    s.rate = given.number("--rate", s.rate, 0.01, 1000);
    s.timerSeconds = static_cast<int>(given.integer("--timer-seconds", s.timerSeconds, 1, 3600));
    s.bin = given.text("--bin", bin.string());
    if (given.has("--work")) {
        s.work = given.text("--work");
    } else {
        const auto stamp =
            std::chrono::system_clock::now().time_since_epoch() / std::chrono::seconds(1);
        s.work = std::filesystem::temp_directory_path() /
                 ("qelexp-chaos-" + std::to_string(stamp) + "-" + std::to_string(getpid()));
    }
    return s;
}

std::filesystem::path buildFolder() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return self.parent_path().parent_path().parent_path();
}

std::string replayCommand(const RunSettings& s) {
    std::string c = "./qelexp.sh chaos --seed " + std::to_string(s.seed);
    char minutes[32];
    std::snprintf(minutes, sizeof minutes, "%g", s.minutes);
    if (s.shortRun) c += " --short";
    c += " --minutes " + std::string(minutes);
    if (s.postgres) c += " --central postgres";
    if (s.stations != 3) c += " --stations " + std::to_string(s.stations);
    char rate[32];
    std::snprintf(rate, sizeof rate, "%g", s.rate);
    c += " --rate " + std::string(rate);
    if (s.timerSeconds != 3) c += " --timer-seconds " + std::to_string(s.timerSeconds);
    return c;
}

CentralLocation::CentralLocation(const RunSettings& s) {
    if (!s.postgres) {
        // A folder of its own, where the central store's disk is mounted.
        location_ = (s.work / "central" / "central.db").string();
        return;
    }
    testing::PostgresCluster* cluster = testing::PostgresCluster::shared();
    if (cluster == nullptr) {
        throw Error("PostgreSQL is not available: " +
                    testing::PostgresCluster::unavailableReason());
    }
    location_ = cluster->createDatabase();
}

CentralLocation::~CentralLocation() = default;

}  // namespace qel::chaos
