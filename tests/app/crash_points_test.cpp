// The lab crash points as a process: the real QelExp against a simulated
// station and the real server on loopback kills itself with SIGKILL at each
// point of its station transactions; the next normal start must leave the
// station sound, nothing pending and nothing flagged that the server lacks.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <string>
#include <tuple>
#include <vector>

#include "app_fixture.h"
#include "central_store.h"
#include "consistency_check.h"
#include "loopback/loopback.h"
#include "process_helpers.h"

namespace qel::testing {
namespace {

namespace fs = std::filesystem;
using chaos::ExportedRows;
using chaos::pendingRows;
using chaos::readExportedRows;
using chaos::rowsNotHeld;

class CrashPoints : public AppFixture {
  protected:
    void SetUp() override {
        AppFixture::SetUp();
        clock.set(SystemClock().now());  // the day of the processes' run log
        fs::copy_file(QELEXP_BINARY, dir / "QelExp");
        fs::remove(stationFile());
        // Nothing of the simulated history was exported before.
        ASSERT_EQ(std::system((std::string(SIMULATOR_BINARY) + " --db '" + stationFile().string() +
                               "' --stations 1 --days 2 --sales-per-day 40 "
                               "--exported-fraction 0 --seed 5 --quiet")
                                  .c_str()),
                  0);
        const int port = loopback::freePort();
        server = spawn([&] {
            const std::string p = std::to_string(port), db = central().string();
            execl(SERVER_BINARY, SERVER_BINARY, "--listen", "127.0.0.1", "--port", p.c_str(),
                  "--db", db.c_str(), nullptr);
        });
        std::ofstream(dir / "registry.conf", std::ios::app)
            << "IPServer = 127.0.0.1:" << port << "\n";
        ASSERT_TRUE(eventually([&] {
            return fs::exists(central()) &&
                   queryText(central(), "SELECT COUNT(*) FROM export_row") == "0";
        }));
    }
    void TearDown() override {
        for (const pid_t pid : children) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        AppFixture::TearDown();
    }

    template <typename Exec>
    pid_t spawn(Exec exec) {
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            exec();
            _exit(127);
        }
        children.push_back(pid);
        return pid;
    }

    // The agent for station 001 with the given lab variables ("NAME=value").
    pid_t startAgent(const std::vector<std::string>& environment) {
        return spawn([&] {
            setenv("QELEXP_LOCK_DIR", dir.c_str(), 1);
            setenv("QELEXP_REGISTRY", (dir / "registry.conf").c_str(), 1);
            for (const std::string& e : environment) {
                const auto eq = e.find('=');
                setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
            }
            const std::string exe = (dir / "QelExp").string();
            execl(exe.c_str(), exe.c_str(), "X_0001_001_01_", nullptr);
        });
    }

    // Exit code, or 128 + signal.
    int finish(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        std::erase(children, pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    fs::path central() const { return dir / "central-store.db"; }
    std::string onStation(const std::string& sql) const { return queryText(stationFile(), sql); }

    std::int64_t count(const fs::path& db, const std::string& sql) const {
        return std::stoll(queryText(db, sql));
    }

    // The station's exported rows, keyed as the server files station 001's.
    ExportedRows exportedRows() {
        db::Connection connection(
            clock, "Provider=SQLite;Initial Catalog=QELCAIXA;Data Source=" + dir.string());
        return readExportedRows(connection, "0001/001");
    }

    // The station is sound and every row the agent flagged is held centrally
    // with its content (`before`: flagged before the agent first ran).
    void expectSound(const ExportedRows& before) {
        EXPECT_EQ(onStation("PRAGMA integrity_check"), "ok");
        const auto store = server::openSqliteStore(central());
        EXPECT_EQ(rowsNotHeld(exportedRows().without(before), *store), std::vector<std::string>{});
    }

    std::vector<pid_t> children;
    pid_t server = 0;
};

TEST_F(CrashPoints, AKillAtEachPointLosesAndFalselyFlagsNothingAndTheNextStartCompletes) {
    // The N-th arrival: a later one shows the count; the cleanup runs once.
    // Each start announces the point and its arrival first.
    const std::vector<std::tuple<std::string, std::string, std::string>> points = {
        {"ack-before:3", "ack-before, chegada 3.", "chegada 3 a ack-before"},
        {"ack-during", "ack-during, chegada 1.", "chegada 1 a ack-during"},
        {"ack-after:2", "ack-after, chegada 2.", "chegada 2 a ack-after"},
        {"cleanup", "cleanup, chegada 1.", "chegada 1 a cleanup"}};
    const std::string template_ = (dir / "template.db").string();
    fs::copy_file(stationFile(), template_);
    const ExportedRows before = exportedRows();
    const std::string announcement = "QELEXP_CRASH_AT: o agente termina com SIGKILL na ";
    for (const auto& [point, line, arrival] : points) {
        SCOPED_TRACE(point);
        // A fresh station and central store for each point.
        for (const char* suffix : {"-wal", "-shm", ""}) {
            fs::remove(stationFile().string() + suffix);
        }
        fs::copy_file(template_, stationFile());
        runSql(central(), "DELETE FROM export_row; DELETE FROM station_cleanup;");

        // A timer period out of range is reported and ignored.
        const pid_t crashing = startAgent({"QELEXP_CRASH_AT=" + point, "QELEXP_TIMER_SECONDS=0"});
        EXPECT_EQ(finish(crashing), 128 + SIGKILL);
        EXPECT_TRUE(
            logHas("QELEXP_TIMER_SECONDS=\"0\" ignorado: esperado um número inteiro de 1 "
                   "a 3600."));
        ASSERT_EQ(logLines().back(), "QELEXP_CRASH_AT: SIGKILL em " + line);
        EXPECT_TRUE(logHas(announcement + arrival + " (laboratório)."));
        expectSound(before);

        // The next normal start, on a timer of one second: two cycles.
        const std::size_t cyclesBefore = logCount("Chama BuscaVendas");
        const std::size_t announcementsBefore = logCount(announcement);
        const pid_t agent = startAgent({"QELEXP_TIMER_SECONDS=1"});
        ASSERT_TRUE(eventually([&] { return logCount("Chama BuscaVendas") >= cyclesBefore + 2; }));
        kill(agent, SIGTERM);
        EXPECT_EQ(finish(agent), 0);
        // A start without the lab setting announces no crash point.
        EXPECT_EQ(logCount(announcement), announcementsBefore);
        EXPECT_TRUE(
            logHas("Intervalo do timer: 1000, QELEXP_TIMER_SECONDS=1 segundos "
                   "(laboratório)."));
        expectSound(before);
        {
            db::Connection connection(
                clock, "Provider=SQLite;Initial Catalog=QELCAIXA;Data Source=" + dir.string());
            EXPECT_EQ(pendingRows(connection), std::vector<std::string>{});
        }
        EXPECT_GT(exportedRows().without(before).byTable["VENDA"].rows.size(), 50u);
        if (HasFailure()) break;
    }
}

}  // namespace
}  // namespace qel::testing
