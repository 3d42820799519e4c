// The chaos run's own parts: the seeded schedule, the recovery tally from
// the journal and the run logs, and the unwritable run-log folder.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "app/pontax_file.h"
#include "fault_kinds.h"
#include "journal.h"
#include "recovery.h"
#include "run_logs.h"
#include "schedule.h"
#include "station_faults.h"
#include "station_setup.h"

namespace qel::chaos {
namespace {

namespace fs = std::filesystem;

fs::path freshFolder(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / ("chaos-run-" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

TEST(ChaosSchedule, TheSameSeedReplaysTheSameScheduleAndEveryKindGetsItsShare) {
    ScheduleSettings s;
    s.seed = 42;
    s.durationMs = 600'000;
    s.agents = 3;
    s.perKind = 20;
    s.perMachineKind = 7;
    s.perLengthyKind = 2;
    s.perHeavyKind = 3;
    const auto a = planFaults(s), b = planFaults(s);
    auto flat = [](const std::vector<std::vector<PlannedFault>>& lanes) {
        std::vector<std::tuple<std::int64_t, std::string, int, std::int64_t>> out;
        for (const auto& lane : lanes)
            for (const auto& f : lane) out.emplace_back(f.atMs, f.kind, f.agent, f.parameter);
        return out;
    };
    EXPECT_EQ(flat(a), flat(b));
    s.seed = 43;
    EXPECT_NE(flat(a), flat(planFaults(s)));

    ASSERT_EQ(a.size(), 4u);
    std::map<std::string, int> count;
    for (std::size_t lane = 0; lane < a.size(); ++lane) {
        std::int64_t previous = -1;
        for (const PlannedFault& f : a[lane]) {
            ++count[std::string(f.kind)];
            EXPECT_EQ(f.agent, static_cast<int>(lane) - 1);
            EXPECT_GE(f.atMs, previous);
            EXPECT_LT(f.atMs, s.durationMs);
            previous = f.atMs;
        }
    }
    for (const FaultKind& k : faultKinds()) {
        const int planned = k.central == CentralKind::Postgres ? 0
                            : k.lengthy                        ? 2
                            : k.heavy                          ? 3
                            : k.machine                        ? 7
                                                               : 20;
        EXPECT_EQ(count[std::string(k.name)], planned) << k.name;
    }
    // A PostgreSQL store has its database restarted instead of its disk filled.
    s.postgres = true;
    count.clear();
    for (const auto& lane : planFaults(s))
        for (const auto& f : lane) ++count[std::string(f.kind)];
    EXPECT_EQ(count["central-restart"], 7);
    EXPECT_EQ(count["central-disk-full"], 0);
}

TEST(ChaosSchedule, ASeedKeepsItsScheduleSoThePublishedRunsReplay) {
    // The long runs' seed and settings (--seed 20261207 --minutes 28).
    ScheduleSettings s;
    s.seed = 20261207;
    s.durationMs = 28 * 60'000;
    s.agents = 3;
    s.perKind = 24;
    s.perMachineKind = 21;
    s.perLengthyKind = 3;
    s.outageMinMs = 120'000;
    s.outageMaxMs = 180'000;
    std::uint64_t digest = 1469598103934665603ULL;  // FNV-1a over every planned value
    auto mix = [&](std::int64_t v) {
        for (int i = 0; i < 8; ++i) {
            digest =
                (digest ^ ((static_cast<std::uint64_t>(v) >> (8 * i)) & 0xFF)) * 1099511628211ULL;
        }
    };
    std::size_t faults = 0, restores = 0;
    for (const auto& lane : planFaults(s)) {
        for (const PlannedFault& f : lane) {
            ++faults;
            // Central restores came later and leave every other fault as it was.
            if (f.kind == "central-restore") {
                ++restores;
                continue;
            }
            mix(f.atMs), mix(f.agent), mix(f.parameter),
                mix(static_cast<std::int64_t>(f.kind.size()));
        }
    }
    EXPECT_EQ(restores, 7u);
    EXPECT_EQ(faults, 15u * 24 + 7 * 21 + 3 + 7);  // SQLite: 15 kinds, 7 to machines, outages
    EXPECT_EQ(digest, 12375444341476521564ULL);
}

TEST(ChaosRecovery, AFaultCountsAsRecoveredOnceItsAgentsExportedInALaterSecond) {
    const fs::path dir = freshFolder("recovery");
    {
        Journal journal(dir / "journal.tsv");
        const DateTime t = DateTime::parse("07/12/2026 10:00:00");
        journal.add({t.addSeconds(0.4), "agent-kill", "station-001", std::nullopt});
        journal.add({t.addSeconds(0.4), "restart", "station-001", std::nullopt});
        journal.add({t.addSeconds(5), "server-kill", "server", std::nullopt});
        journal.add({t.addSeconds(30), "log-unwritable", "station-002", std::nullopt});
        // Clock steps carry what they measured; a missing export is -1.
        journal.add({t.addSeconds(40), "agent-clock-back", "station-001", 4.25});
        journal.add({t.addSeconds(50), "agent-clock-back", "station-002", -1.0});
    }
    const auto journal = readJournal(dir / "journal.tsv");
    ASSERT_EQ(journal.size(), 6u);
    EXPECT_EQ(journal[2].target, "server");
    EXPECT_FALSE(journal[2].measured);
    EXPECT_EQ(journal[4].target, "station-001");
    EXPECT_EQ(journal[4].measured, 4.25);

    // Run logs of two agents: station-001 exports in the fault's own second
    // (not after it, as far as a log line can tell), then at 10:00:02.
    auto log = [&](const std::string& agent, const std::vector<std::string>& times) {
        fs::create_directories(dir / agent / "Dados" / "Qel_Exp");
        std::ofstream out(dir / agent / "Dados" / "Qel_Exp" / "Qel_Exp071226.txt",
                          std::ios::binary);
        for (const std::string& t : times) {
            out << "07/12/2026 " << t << " - EXPORTA\xC7\xC3O REALIZADA COM SUCESSO\r\n";
            out << "07/12/2026 " << t << " - QelExp Executando: N\xE3o\r\n";
        }
    };
    log("station-001", {"10:00:00", "10:00:02", "10:00:09"});
    log("station-002", {"10:00:07"});
    const auto exports = completedExportsByAgent(dir);
    ASSERT_EQ(exports.at("station-001").size(), 3u);

    std::vector<std::string> kinds;
    for (const FaultKind& k : faultKinds()) kinds.emplace_back(k.name);
    const RecoveryReport r = tallyRecoveries(journal, exports, kinds);
    auto tally = [&](std::string_view kind) {
        for (const FaultTally& t : r.faults)
            if (t.kind == kind) return t;
        return FaultTally{};
    };
    EXPECT_EQ(tally("agent-kill").fired, 1);
    EXPECT_EQ(tally("agent-kill").recovered, 1);
    EXPECT_NEAR(*tally("agent-kill").maxSeconds, 1.6, 0.01);
    // A shared fault recovers when the last agent has exported again.
    EXPECT_EQ(tally("server-kill").recovered, 1);
    EXPECT_NEAR(*tally("server-kill").maxSeconds, 4.0, 0.01);
    EXPECT_EQ(tally("log-unwritable").fired, 1);
    EXPECT_EQ(tally("log-unwritable").recovered, 0);
    EXPECT_EQ(tally("delay").fired, 0);
    EXPECT_EQ(tally("agent-clock-back").fired, 2);
    EXPECT_EQ(tally("agent-clock-back").measured, (std::vector<double>{4.25, -1.0}));
    ASSERT_EQ(r.restartToExport.size(), 1u);
    EXPECT_NEAR(r.restartToExport[0], 1.6, 0.01);
    fs::remove_all(dir);
}

TEST(ChaosRunLogFolder, AnUnwritableFolderComesBackWithEveryLine) {
    const fs::path dir = freshFolder("folder");
    const fs::path logs = dir / "Dados" / "Qel_Exp";
    fs::create_directories(logs);
    std::ofstream(logs / "Qel_Exp071226.txt") << "older\n";
    {
        UnwritableFolder blocked(logs);
        std::error_code ec;
        fs::create_directories(logs, ec);
        EXPECT_TRUE(ec);  // what the agent meets, root included
        blocked.restore();
    }
    EXPECT_TRUE(fs::is_directory(logs));
    {
        // The agent made a new folder between the two steps of a restore.
        UnwritableFolder blocked(logs);
        fs::remove(logs);
        fs::create_directories(logs);
        std::ofstream(logs / "Qel_Exp071226.txt") << "newer\n";
        blocked.restore();
    }
    std::ifstream in(logs / "Qel_Exp071226.txt");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "older\nnewer\n");
    EXPECT_FALSE(fs::exists(dir / "Dados" / "Qel_Exp.aside"));
    fs::remove_all(dir);
}

// The agent's own restart starts it without a command line: it must find
// its station in the parameter file the run writes beside it.
TEST(ChaosStationSetup, TheParameterFileNamesTheStationForTheAgentsOwnRestart) {
    StationFolder station;
    station.store = "0001";
    station.station = "012";
    const app::PontaxFile file = app::PontaxFile::parse(parameterFileText(station));
    EXPECT_EQ(file.text("CDFILIAL"), "0001");
    EXPECT_EQ(file.text("CDCAIXA"), "012");
    EXPECT_EQ(file.integer("IDTIPOIMPFIS"), 0);
}

}  // namespace
}  // namespace qel::chaos
