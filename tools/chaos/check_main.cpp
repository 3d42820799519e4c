// qelexp-chaos-check: compares station databases with the central store
// after a chaos run (or any run whose stations had the shadows installed).
#include <iostream>

#include "central_rows.h"
#include "central_store.h"
#include "cli/command_line.h"
#include "fault_kinds.h"
#include "journal.h"
#include "recovery.h"
#include "row_check.h"
#include "run_logs.h"
#include "shadow.h"
#include "verdict.h"

namespace {

constexpr const char* kUsage =
    R"(Usage: qelexp-chaos-check --prepare --station FILE [--station FILE...]
       qelexp-chaos-check --central FILE|URI --station FILE [--station FILE...] [options]

--prepare installs in each station database the shadow tables and triggers
that keep every row of the checked tables, including the rows a cleanup
deletes; do it before the agents run. Without --prepare the checker compares
each station's rows with the central store and prints, per table, rows
written, exported or deleted, lost (exported or deleted but not held
centrally with the same content), falsely flagged, pending, duplicated and
unexpected.

Options:
  --station FILE        a station database (repeatable)
  --central FILE|URI    the central store: SQLite file or postgresql:// URI
  --journal FILE        the chaos run's fault journal: faults by type and
                        how often the agents exported again after them
  --agents DIR          the folder holding one folder per agent (run logs)
  --restored DIR        copies of stations taken when each was restored from
                        a backup: DIR/<the station file's folder name>/N.db
  --replaced FILE|URI   the central store as a central restore found it,
                        before the older copy replaced it (repeatable)
  --min-faults N        fewest firings each fault type needs (default 20)
  --min-machine-faults N  the same for faults done to a machine (clock
                        steps, full disks, restores; default --min-faults)
  --min-outages N       the same for long outages (default 3)
  --min-central-restores N  the same for central restores (default 5)
  --period S            the agents' export period: a clock step may hold
                        back the next export by S + 60 s at most
  --min-rows N          fewest rows written (default 10000)
  --floors-note TEXT    why the floors were lowered, printed in the report
  --sent-rows N         rows the server received, for the resend ratio
  --sent-bytes N        request bytes sent to the server, for the resend ratio
  --seed N              the run's seed, printed with --replay
  --replay TEXT         the command that replays the run, printed

Exit codes: 0 pass, 1 fail (or an unreadable input), 2 usage error.
)";

const std::vector<qel::cli::OptionSpec> kOptions = {
    {"--prepare", false},
    {"--station", true, true},
    {"--central"},
    {"--journal"},
    {"--agents"},
    {"--min-faults"},
    {"--min-rows"},
    {"--floors-note"},
    {"--sent-rows"},
    {"--sent-bytes"},
    {"--seed"},
    {"--replay"},
    {"--restored"},
    {"--replaced", true, true},
    {"--min-machine-faults"},
    {"--min-outages"},
    {"--period"},
    {"--min-central-restores"},
};

int check(const qel::cli::ParsedOptions& given) {
    using namespace qel::chaos;
    const auto stations = given.values("--station");
    if (stations.empty()) throw qel::cli::UsageError("give at least one --station");
    std::vector<std::filesystem::path> files(stations.begin(), stations.end());
    try {
        if (given.has("--prepare")) {
            for (const auto& f : files) installShadows(f);
            std::cout << "shadows installed in " << files.size() << " station database(s)\n";
            return qel::cli::kExitSuccess;
        }
        if (!given.has("--central")) throw qel::cli::UsageError("--central is required");
        Floors floors;
        floors.faultsPerKind = given.integer("--min-faults", floors.faultsPerKind, 0, 1'000'000);
        floors.rowsWritten = given.integer("--min-rows", floors.rowsWritten, 0, INT64_MAX);
        floors.why = given.text("--floors-note");
        const bool postgres = qel::server::isPostgresLocation(given.text("--central"));
        const auto machineFloor =
            given.integer("--min-machine-faults", floors.faultsPerKind, 0, 1'000'000);
        const auto outageFloor = given.integer("--min-outages", 3, 0, 1'000'000);
        const auto restoreFloor = given.integer("--min-central-restores", 5, 0, 1'000'000);
        std::vector<std::string> kinds;
        for (const FaultKind& k : faultKindsFor(postgres)) {
            kinds.emplace_back(k.name);
            if (k.machine)
                floors.kindFloors[kinds.back()] = k.lengthy ? outageFloor
                                                  : k.heavy ? restoreFloor
                                                            : machineFloor;
        }
        if (given.has("--period"))
            floors.clockStepLimitSeconds = given.number("--period", 3, 0, 86400) + 60.0;
        RunFigures figures;
        if (given.has("--seed"))
            figures.seed = static_cast<std::uint64_t>(given.integer("--seed", 0, 0, INT64_MAX));
        figures.replay = given.text("--replay");
        if (given.has("--sent-rows"))
            figures.sentRows = given.integer("--sent-rows", 0, 0, INT64_MAX);
        if (given.has("--sent-bytes"))
            figures.sentBytes = given.integer("--sent-bytes", 0, 0, INT64_MAX);
        const auto central = openCentralRows(given.text("--central"));
        std::tie(figures.storedRows, figures.storedBytes) = central->totals();
        std::vector<StationHistory> histories;
        for (const auto& f : files) {
            histories.push_back(
                {f, given.has("--restored")
                        ? earlierCopies(std::filesystem::path(given.text("--restored")) /
                                        f.parent_path().filename())
                        : std::vector<std::filesystem::path>{}});
        }
        std::vector<std::unique_ptr<CentralRows>> replaced;
        std::vector<CentralRows*> replacedStores;
        for (const std::string& location : given.values("--replaced")) {
            replaced.push_back(openCentralRows(location));
            replacedStores.push_back(replaced.back().get());
        }
        const auto tables = checkRows(histories, *central, replacedStores);
        if (given.has("--journal")) {
            figures.recovery =
                tallyRecoveries(readJournal(given.text("--journal")),
                                completedExportsByAgent(given.text("--agents", ".")), kinds);
        }
        return report(std::cout, tables, figures, floors) ? qel::cli::kExitSuccess
                                                          : qel::cli::kExitFailure;
    } catch (const qel::cli::UsageError&) {
        throw;
    } catch (const std::exception& e) {
        std::cerr << "qelexp-chaos-check: " << e.what() << "\n";
        if (given.has("--seed")) std::cerr << "seed: " << given.text("--seed") << "\n";
        if (given.has("--replay")) std::cerr << "replay: " << given.text("--replay") << "\n";
        return qel::cli::kExitFailure;
    }
}

}  // namespace

int main(int argc, char** argv) {
    return qel::cli::runProgram("qelexp-chaos-check", kUsage, argc, argv, kOptions, check);
}
