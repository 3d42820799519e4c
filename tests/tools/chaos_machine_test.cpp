// The chaos run's faults done to machines: the stepped clock a program
// really sees, a real tmpfs filled and freed, the run logs watched on the
// orchestrator's own clock, and the verdict on what those faults measured.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <sstream>

#include "core/error.h"
#include "export_watcher.h"
#include "lock_spans.h"
#include "machine_clock.h"
#include "process.h"
#include "row_check.h"
#include "sqlite_file.h"
#include "station_backups.h"
#include "tmpfs_disk.h"
#include "verdict.h"

namespace qel::chaos {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path freshFolder(const std::string& name) {
    // The process id keeps two runs of the suite side by side (a sanitizer
    // build beside a plain one) out of each other's folders.
    const fs::path dir =
        fs::temp_directory_path() / ("chaos-machine-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// The epoch seconds `date` prints when started with `env`.
long long dateSeen(const fs::path& dir, const std::vector<std::string>& env) {
    Processes processes;
    const auto out = dir / "date.out";
    fs::remove(out);
    const pid_t pid = processes.spawn({"/bin/date", "+%s"}, dir, env, out);
    const auto status = processes.waitFor(pid, 30s);
    EXPECT_TRUE(status && !status->signaled && status->code == 0);
    std::ifstream in(out);
    long long seconds = 0;
    in >> seconds;
    return seconds;
}

TEST(ChaosMachineClock, AProgramSeesItsMachineStepBackAndForthAndTheMonotonicClockStays) {
    try {
        fakeTimeLibrary();
    } catch (const Error& e) {
        GTEST_SKIP() << e.what();
    }
    const fs::path dir = freshFolder("clock");
    MachineClock clock(dir / "clocks" / "station-001");
    const auto env = clock.environment();
    auto offsetSeen = [&] {
        return dateSeen(dir, env) - static_cast<long long>(std::time(nullptr));
    };
    EXPECT_NEAR(offsetSeen(), 0, 2);
    clock.step(-86400);
    EXPECT_EQ(clock.offset(), -86400);
    EXPECT_NEAR(offsetSeen(), -86400, 2);
    clock.step(7200);
    EXPECT_NEAR(offsetSeen(), 7200, 2);
    clock.step(0);
    EXPECT_NEAR(offsetSeen(), 0, 2);
    // The uptime (the monotonic clock's source) is not moved.
    clock.step(-3600);
    Processes processes;
    const pid_t pid = processes.spawn({"/bin/cat", "/proc/uptime"}, dir, env, dir / "uptime.out");
    processes.waitFor(pid, 30s);
    std::ifstream up(dir / "uptime.out");
    double uptime = -1;
    up >> uptime;
    EXPECT_GT(uptime, 0);
    fs::remove_all(dir);
}

TEST(ChaosTmpfsDisk, AFilledDiskRefusesTheNextWriteAndFreedTakesItThenKeepsItsFilesWhenItGoes) {
    const fs::path dir = freshFolder("disk");
    const fs::path folder = dir / "station-001";
    std::optional<TmpfsDisk> disk;
    try {
        disk.emplace(folder, 64ULL << 20);
    } catch (const IoError& e) {
        GTEST_SKIP() << e.what();
    }
    {
        std::ofstream db(folder / "QELCAIXA.db", std::ios::binary);
        db << std::string(300'000, 'x');
    }
    // A block that does not fit whole (what is left of the file's last page
    // may still take a part of it, as on any disk).
    auto appendFails = [&] {
        const int fd = open((folder / "QELCAIXA.db").c_str(), O_WRONLY | O_APPEND);
        const std::string block(8192, 'y');
        const auto written = write(fd, block.data(), block.size());
        close(fd);
        return written < static_cast<ssize_t>(block.size());
    };
    disk->fill();
    EXPECT_EQ(disk->freeBytes(), 0u);
    EXPECT_TRUE(appendFails());
    disk->free();
    EXPECT_GT(disk->freeBytes(), 32ULL << 20);
    EXPECT_FALSE(appendFails());
    // A second fill and free behave the same.
    disk->fill();
    EXPECT_TRUE(appendFails());
    disk->free();
    EXPECT_FALSE(appendFails());
    disk.reset();
    // Unmounted: the folder is on the parent's disk and holds what was written.
    EXPECT_GE(fs::file_size(folder / "QELCAIXA.db"), 300'000u + 2 * 8192u);
    EXPECT_FALSE(fs::exists(folder / "disk-filler"));
    fs::remove_all(dir);
}

TEST(ChaosExportWatcher, ARunCountsOnlyWhenItBeganAfterTheMomentAskedAbout) {
    const fs::path dir = freshFolder("watcher");
    const fs::path logs = dir / "station-001" / "Dados" / "Qel_Exp";
    fs::create_directories(logs);
    ExportWatcher watcher({{"station-001", dir / "station-001"}}, 0ms);
    auto append = [&](const std::string& file, const std::string& text) {
        std::ofstream out(logs / file, std::ios::binary | std::ios::app);
        out << text;
    };
    const std::string begun =
        "07/12/2026 10:00:00 - ****************** IN\xCD"
        "CIO DA GRAVA\xC7\xC3O DOS DADOS NO "
        "SERVIDOR *******************\r\n";
    const std::string done = "07/12/2026 10:00:01 - EXPORTA\xC7\xC3O REALIZADA COM SUCESSO\r\n";

    append("Qel_Exp071226.txt", begun);  // begun before the moment
    watcher.poll();
    const auto moment = ExportWatcher::Steady::now();
    std::this_thread::sleep_for(5ms);
    append("Qel_Exp071226.txt", done);
    watcher.poll();
    EXPECT_FALSE(watcher.exportCompletedAfter("station-001", moment));
    EXPECT_FALSE(watcher.runBegunAfter("station-001", moment));
    EXPECT_EQ(watcher.completedByAgent().at("station-001").size(), 1u);

    // The clock stepped back a day: the next run writes to yesterday's log,
    // its last line not yet ended.
    append("Qel_Exp061226.txt", begun + done.substr(0, 20));
    watcher.poll();
    const auto run = watcher.runBegunAfter("station-001", moment);
    ASSERT_TRUE(run);
    EXPECT_FALSE(watcher.exportCompletedAfter("station-001", moment));
    append("Qel_Exp061226.txt", done.substr(20));
    watcher.poll();
    const auto completed = watcher.exportCompletedAfter("station-001", moment);
    ASSERT_TRUE(completed);
    EXPECT_GE(*completed, *run);
    EXPECT_EQ(watcher.completedByAgent().at("station-001").size(), 2u);
    EXPECT_FALSE(watcher.runBegunAfter("station-001", *completed));

    // A run whose transfer failed still ends with the success line: it does
    // not count, the next clean one does.
    append("Qel_Exp071226.txt", begun +
                                    "07/12/2026 10:00:02 - ERRO Except ExportaDados: Filial: "
                                    "0001 Caixa: 001 Erro: refused\r\n" +
                                    done);
    watcher.poll();
    EXPECT_TRUE(watcher.runBegunAfter("station-001", *completed));
    EXPECT_FALSE(watcher.exportCompletedAfter("station-001", *completed));
    append("Qel_Exp071226.txt", begun + done);
    watcher.poll();
    EXPECT_TRUE(watcher.exportCompletedAfter("station-001", *completed));
    EXPECT_EQ(watcher.completedByAgent().at("station-001").size(), 3u);
    EXPECT_FALSE(watcher.runBegunAfter("station-009", moment));
    fs::remove_all(dir);
}

TEST(ChaosExportWatcher, AServedRunCountsFromItsBeginningOnceItCompletedWithoutError) {
    const fs::path dir = freshFolder("watcher-served");
    const fs::path logs = dir / "station-001" / "Dados" / "Qel_Exp";
    fs::create_directories(logs);
    ExportWatcher watcher({{"station-001", dir / "station-001"}}, 0ms);
    auto append = [&](const std::string& text) {
        std::ofstream out(logs / "Qel_Exp071226.txt", std::ios::binary | std::ios::app);
        out << text;
        out.close();
        watcher.poll();
        std::this_thread::sleep_for(5ms);
    };
    const std::string begun =
        "07/12/2026 10:00:00 - ****************** IN\xCD"
        "CIO DA GRAVA\xC7\xC3O DOS DADOS NO "
        "SERVIDOR *******************\r\n";
    const std::string done = "07/12/2026 10:00:01 - EXPORTA\xC7\xC3O REALIZADA COM SUCESSO\r\n";
    const std::string error =
        "07/12/2026 10:00:02 - ERRO Except ExportaDados: Filial: 0001 Caixa: 001 Erro: x\r\n";

    append(begun);  // begun before the moment, completed after it
    const auto moment = ExportWatcher::Steady::now();
    std::this_thread::sleep_for(5ms);
    append(done);
    EXPECT_FALSE(watcher.servedRunBegunAfter("station-001", moment));
    append(begun);  // failed: the next one counts
    append(error + done);
    EXPECT_FALSE(watcher.servedRunBegunAfter("station-001", moment));
    append(begun);
    const auto begunAt = watcher.runBegunAfter("station-001", moment);
    EXPECT_FALSE(watcher.servedRunBegunAfter("station-001", moment));  // still running
    append(done);
    const auto served = watcher.servedRunBegunAfter("station-001", moment);
    ASSERT_TRUE(served && begunAt);
    EXPECT_LT(*begunAt, *served);  // the failed run began first
    const auto completed = watcher.exportCompletedAfter("station-001", *begunAt);
    ASSERT_TRUE(completed);
    EXPECT_LT(*served, *completed);  // measured to its beginning, not to its end
    EXPECT_FALSE(watcher.servedRunBegunAfter("station-001", *completed));
    EXPECT_FALSE(watcher.servedRunBegunAfter("station-009", moment));
    fs::remove_all(dir);
}

TEST(ChaosStationBackups, ARestoreTakesTheBackupNearestTheAgeAskedAndCopiesComeNewestFirst) {
    const fs::path dir = freshFolder("backups");
    StationFolder station;
    station.name = "station-001";
    station.database = dir / "QELCAIXA.db";
    std::ofstream(station.database).close();  // an empty file is an empty database
    {
        SqliteFile db(station.database, false);
        db.execute(
            "PRAGMA journal_mode=WAL; CREATE TABLE VENDA (N INTEGER); INSERT INTO VENDA "
            "VALUES (1);");
    }
    StationBackups backups({station}, dir / "backups", 0s, 2);
    EXPECT_FALSE(backups.aged(0, 60s));
    backups.takeAll();
    std::this_thread::sleep_for(1100ms);
    {
        SqliteFile db(station.database, false);
        db.execute("INSERT INTO VENDA VALUES (2)");
    }
    backups.takeAll();
    auto rows = [](const fs::path& file) {
        SqliteFile db(file, true);
        return db.scalar("SELECT COUNT(*) FROM VENDA");
    };
    const auto older = backups.aged(0, 3600s), newer = backups.aged(0, 0s);
    ASSERT_TRUE(older && newer);
    EXPECT_EQ(rows(*older), "1");
    EXPECT_EQ(rows(*newer), "2");
    // Only the last two are kept.
    backups.takeAll();
    EXPECT_FALSE(fs::exists(*older));

    // Restored over a database with a write-ahead log of its own.
    {
        SqliteFile db(station.database, false);
        db.execute("INSERT INTO VENDA VALUES (3)");
    }
    restoreDatabase(station.database, *newer);
    EXPECT_FALSE(fs::exists(station.database.string() + "-wal"));
    EXPECT_EQ(rows(station.database), "2");

    fs::create_directories(dir / "restored");
    for (const char* name : {"1.db", "2.db", "10.db", "notes.db", "3.txt"})
        std::ofstream(dir / "restored" / name) << "";
    EXPECT_EQ(earlierCopies(dir / "restored"),
              (std::vector<fs::path>{dir / "restored" / "10.db", dir / "restored" / "2.db",
                                     dir / "restored" / "1.db"}));
    EXPECT_TRUE(earlierCopies(dir / "none").empty());
    fs::remove_all(dir);
}

TEST(ChaosVerdict, AClockStepPastTheLimitOrWithoutExportAndAnUndrainedOutageFailTheRun) {
    auto verdict = [](std::vector<double> steps, std::vector<double> drains) {
        RecoveryReport r;
        r.faults.push_back({"agent-clock-back", static_cast<std::int64_t>(steps.size()), 0,
                            std::nullopt, std::nullopt, steps});
        r.faults.push_back({"long-outage", static_cast<std::int64_t>(drains.size()), 0,
                            std::nullopt, std::nullopt, drains});
        RunFigures figures;
        figures.recovery = r;
        Floors floors;
        floors.faultsPerKind = 0;
        floors.rowsWritten = 0;
        floors.kindFloors["long-outage"] = 1;
        floors.clockStepLimitSeconds = 63;
        std::ostringstream out;
        const bool passed = report(out, {}, figures, floors);
        return std::make_pair(passed, out.str());
    };
    const auto [passed, text] = verdict({2.5, 63.0}, {40.0});
    EXPECT_TRUE(passed) << text;
    EXPECT_NE(text.find("to the next export run: 2, median 63.0 s, max 63.0 s"), std::string::npos)
        << text;
    EXPECT_FALSE(verdict({2.5, 63.1}, {40.0}).first);
    EXPECT_FALSE(verdict({2.5, -1}, {40.0}).first);
    EXPECT_FALSE(verdict({2.5}, {-1}).first);
    EXPECT_FALSE(verdict({2.5}, {}).first);  // the outage's own floor
}

TEST(ChaosVerdict, KeysReusedAfterARestoreAreReportedWithoutFailingTheRunAndALossStillFails) {
    auto verdict = [](std::int64_t reused, std::int64_t lost) {
        TableCheck t;
        t.table = "VENDA";
        t.written = t.settled = 10;
        t.reused = reused;
        t.lost = lost;
        Floors floors;
        floors.rowsWritten = 10;
        std::ostringstream out;
        const bool passed = report(out, {t}, {}, floors);
        return std::make_pair(passed, out.str());
    };
    const auto [passed, text] = verdict(3, 0);
    EXPECT_TRUE(passed) << text;
    EXPECT_NE(text.find("keys reused after a restore: 3 rows"), std::string::npos) << text;
    const auto [clean, cleanText] = verdict(0, 0);
    EXPECT_TRUE(clean);
    EXPECT_EQ(cleanText.find("keys reused"), std::string::npos) << cleanText;
    EXPECT_FALSE(verdict(3, 1).first);
}

TEST(ChaosVerdict, ACentralRestoreNotHealedFailsTheRunAndRowsItTookAreNoFailure) {
    auto verdict = [](std::vector<double> heals, std::int64_t gone, std::int64_t lost) {
        TableCheck t;
        t.table = "VENDA";
        t.written = t.settled = 10;
        t.goneWithCentralRestore = gone;
        t.lost = lost;
        RecoveryReport r;
        r.faults.push_back({"central-restore", static_cast<std::int64_t>(heals.size()), 0,
                            std::nullopt, std::nullopt, heals});
        RunFigures figures;
        figures.recovery = r;
        Floors floors;
        floors.faultsPerKind = 0;
        floors.rowsWritten = 10;
        std::ostringstream out;
        const bool passed = report(out, {t}, figures, floors);
        return std::make_pair(passed, out.str());
    };
    const auto [passed, text] = verdict({12.5, 30.0}, 4, 0);
    EXPECT_TRUE(passed) << text;
    EXPECT_NE(
        text.find("every station reconciled and its sales sent: 2, median 30.0 s, max 30.0 s"),
        std::string::npos)
        << text;
    EXPECT_FALSE(verdict({12.5, -1}, 0, 0).first);
    EXPECT_FALSE(verdict({12.5}, 4, 1).first);
}

// A clock step's measure leaves out the time the run's own locks held the
// station database: only within the window, overlapping locks once, a lock
// still held up to the window's end, and only that station's database.
TEST(ChaosLockSpans, TimeHeldWithinAWindowCountsEachMomentOnceAndOnlyForItsDatabase) {
    const auto t0 = std::chrono::steady_clock::time_point{} + 1000s;
    const fs::path mine = "/stations/001/db", other = "/stations/002/db";
    LockSpans spans;
    EXPECT_EQ(spans.heldWithin(mine, t0, t0 + 60s), 0);

    spans.released(mine, spans.taken(mine, t0 - 10s), t0 + 5s);   // 5 s inside
    spans.released(mine, spans.taken(mine, t0 + 20s), t0 + 30s);  // 10 s
    spans.released(mine, spans.taken(mine, t0 + 25s), t0 + 35s);  // 5 s more
    spans.released(other, spans.taken(other, t0), t0 + 60s);      // another station
    EXPECT_DOUBLE_EQ(spans.heldWithin(mine, t0, t0 + 60s), 20);
    EXPECT_DOUBLE_EQ(spans.heldWithin(mine, t0 + 28s, t0 + 60s), 7);
    EXPECT_DOUBLE_EQ(spans.heldWithin(mine, t0 + 5s, t0 + 20s), 0);
    EXPECT_EQ(spans.heldWithin(mine, t0 + 60s, t0), 0);

    spans.taken(mine, t0 + 50s);  // not yet released
    EXPECT_DOUBLE_EQ(spans.heldWithin(mine, t0, t0 + 58s), 28);
}

}  // namespace
}  // namespace qel::chaos
