// The real QelExp executable in a temporary folder: what only a process
// shows (the single-instance lock, signals, ending itself, restarts).
#include <gmock/gmock.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <map>
#include <thread>

#include "app_fixture.h"
#include "loopback/loopback.h"
#include "platform/posix/restart_command.h"
#include "process_helpers.h"

using ::testing::HasSubstr;

namespace qel::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class AgentProcess : public AppFixture {
  protected:
    void SetUp() override {
        AppFixture::SetUp();
        clock.set(SystemClock().now());  // the day of the process's run log
        fs::copy_file(QELEXP_BINARY, dir / "QelExp");
    }
    void TearDown() override {
        for (const pid_t pid : children) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (const auto& p : agents()) kill(static_cast<pid_t>(p), SIGKILL);
        AppFixture::TearDown();
    }

    // Starts the agent with its own instance domain (this folder) and the
    // given "NAME=value" settings.
    pid_t start(const std::string& parameter = "", const std::vector<std::string>& env = {}) {
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("QELEXP_LOCK_DIR", dir.c_str(), 1);
            setenv("QELEXP_REGISTRY", (dir / "registry.conf").c_str(), 1);
            for (const std::string& e : env) {
                const auto eq = e.find('=');
                setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
            }
            const std::string exe = (dir / "QelExp").string();
            if (parameter.empty()) {
                execl(exe.c_str(), exe.c_str(), nullptr);
            } else {
                execl(exe.c_str(), exe.c_str(), parameter.c_str(), nullptr);
            }
            _exit(127);
        }
        children.push_back(pid);
        return pid;
    }

    // Exit code, or 128 + signal.
    int finish(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        std::erase(children, pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Live (not zombie) processes run from this folder's QelExp.
    std::vector<std::int64_t> agents() const {
        std::vector<std::int64_t> pids;
        for (const auto& p : platform->listProcesses()) {
            if (p.exePath != (dir / "QelExp").string()) continue;
            std::ifstream stat("/proc/" + std::to_string(p.pid) + "/stat");
            std::string pidText, name, state;
            stat >> pidText >> name >> state;
            if (state != "Z") pids.push_back(p.pid);
        }
        return pids;
    }

    // Every file under the folder with its size and modification time.
    std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> files() const {
        std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> out;
        for (const auto& e : fs::recursive_directory_iterator(dir)) {
            if (e.is_regular_file()) out[e.path().string()] = {e.file_size(), e.last_write_time()};
        }
        return out;
    }

    std::vector<pid_t> children;
};

TEST_F(AgentProcess, ASecondInstanceEndsAtOnceAndWritesNothingAKilledOneIsReplaced) {
    store("'5'");
    caixa("002");
    const pid_t first = start("X_0001_002_03_");
    ASSERT_TRUE(eventually([&] { return logHas("QelExp Executando: Não"); }));
    const auto before = files();
    const pid_t second = start("X_0001_002_03_");
    EXPECT_EQ(finish(second), 0);
    EXPECT_EQ(files(), before);

    kill(first, SIGKILL);
    EXPECT_EQ(finish(first), 128 + SIGKILL);
    const pid_t third = start("X_0001_002_03_");
    ASSERT_TRUE(eventually([&] { return logCount("QelExp Executando: Não") == 2; }));
    EXPECT_EQ(logCount("FormCreate"), 2u);
    kill(third, SIGTERM);
    EXPECT_EQ(finish(third), 0);
}

// Started while a file stands where its run-log folder belongs, the agent
// still reads its station and runs its cycles; once the folder can be
// written again, the cycles show in the log.
TEST_F(AgentProcess, StartedWhileItsLogFolderIsAFileItExportsOnceTheFolderIsBack) {
    store("'5'");
    caixa("002");
    const fs::path logFolder = dir / "Dados" / "Qel_Exp";
    fs::create_directories(logFolder.parent_path());
    std::ofstream(logFolder) << "x";
    const pid_t agent = start("X_0001_002_03_", {"QELEXP_TIMER_SECONDS=1"});
    // The first cycle marks the station running, though it cannot log.
    ASSERT_TRUE(eventually(
        [&] { return queryText(stationFile(), "SELECT COUNT(*) FROM QELEXPEXECUTA") == "1"; }));
    fs::remove(logFolder);
    EXPECT_TRUE(eventually([&] { return logCount("Exportação realizada pelo QelExp") >= 2; }));
    EXPECT_EQ(logCount("FormCreate"), 0u);
    kill(agent, SIGTERM);
    EXPECT_EQ(finish(agent), 0);
}

TEST_F(AgentProcess, ACollectorStationEndsItselfWithExitCodeZero) {
    store("'5'");
    caixa("002", "C");
    const pid_t agent = start("X_0001_002_03_");
    EXPECT_EQ(finish(agent), 0);
    EXPECT_EQ(logLines().back(), "CAIXA COLETOR NÃO EXPORTA VENDAS.");
    EXPECT_FALSE(logHas("Chama BuscaVendas"));
}

TEST_F(AgentProcess, AFailedStartUpKeepsRunningUntilStoppedAndHangUpIsIgnored) {
    store("'5'");
    caixa("002");
    const pid_t agent = start("X_0001_002_03");
    ASSERT_TRUE(eventually([&] { return logCount("Exception: ") == 1; }));
    kill(agent, SIGHUP);
    kill(agent, SIGINT);
    EXPECT_EQ(finish(agent), 0);
    EXPECT_EQ(logLines().back(), "FormDestroy");
    EXPECT_FALSE(logHas("Chama BuscaVendas"));
}

TEST_F(AgentProcess, TheRestartCommandLeavesExactlyOneAgent) {
    store("'5'");
    caixa("002");
    const pid_t old = start("X_0001_002_03_");
    ASSERT_TRUE(eventually([&] { return logHas("QelExp Executando: Não"); }));
    ASSERT_EQ(agents(), std::vector<std::int64_t>{old});
    // The command the agent starts, against its real process.
    ASSERT_TRUE(
        platform
            ->startShellCommand(platform::posix::restartScript(agents(), -1, dir, "QelExp", false))
            .ok);
    EXPECT_EQ(finish(old), 128 + SIGKILL);
    ASSERT_TRUE(eventually([&] { return logCount("FormCreate") == 2; }));
    // Started without parameters: the new agent falls back to the file.
    ASSERT_TRUE(eventually([&] { return logCount("Exception: ") == 1; }));
    const auto now = agents();
    ASSERT_EQ(now.size(), 1u);
    EXPECT_NE(now[0], old);
    kill(static_cast<pid_t>(now[0]), SIGTERM);
    EXPECT_TRUE(eventually([&] { return agents().empty(); }));
    EXPECT_EQ(logLines().back(), "FormDestroy");
}

TEST_F(AgentProcess, StopDuringACycleFinishesItsTransactionsAndRecordsTheStationStopped) {
    // A station with many pending sales and a real server: the first cycle
    // runs many transfers; the stop arrives in the middle of it.
    fs::remove(stationFile());
    ASSERT_EQ(std::system((std::string(SIMULATOR_BINARY) + " --db '" + stationFile().string() +
                           "' --stations 1 --days 1 --sales-per-day 2000 --pending 2000 "
                           "--seed 3 --quiet")
                              .c_str()),
              0);
    const int port = loopback::freePort();
    const pid_t server = fork();
    if (server == 0) {
        const std::string p = std::to_string(port), db = (dir / "central-store.db").string();
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execl(SERVER_BINARY, SERVER_BINARY, "--listen", "127.0.0.1", "--port", p.c_str(), "--db",
              db.c_str(), nullptr);
        _exit(127);
    }
    children.push_back(server);
    // The agent must meet a listening server: one not yet started would
    // leave the central store without its tables.
    ASSERT_TRUE(eventually([&] { return loopback::accepts(port); }));
    std::ofstream(dir / "registry.conf", std::ios::app) << "IPServer = 127.0.0.1:" << port << "\n";

    const pid_t agent = start("X_0001_001_01_");
    ASSERT_TRUE(eventually([&] { return logHas("EXISTEM DADOS A SEREM EXPORTADOS."); }));
    kill(agent, SIGTERM);
    EXPECT_EQ(finish(agent), 0);

    const auto lines = logLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.back(), "FormDestroy");
    EXPECT_EQ(lines[lines.size() - 2], "QelExp Executando: Não");
    EXPECT_TRUE(logHas("Exportação realizada pelo QelExp"));
    EXPECT_EQ(queryText(stationFile(),
                        "SELECT IDQELEXPEXECUTA FROM QELEXPEXECUTA WHERE "
                        "CDFILIAL = '0001' AND CDCAIXA = '001'"),
              "N");
    // Every sale the station marks as sent is held by the server.
    const std::string sent =
        queryText(stationFile(), "SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA = 'S'");
    const std::string held = queryText(
        dir / "central-store.db", "SELECT COUNT(*) FROM export_row WHERE table_name = 'VENDA'");
    EXPECT_EQ(sent, held);
    kill(server, SIGTERM);
    finish(server);
}

}  // namespace
}  // namespace qel::testing

namespace qel::testing {
namespace {

// The shipped unit lets systemd bring the agent back after the agent's own
// restart command (a forced end) but not after a clean end: a station that
// does not export ends with exit code 0 and must stay ended.
TEST(AgentUnit, SystemdRestartsAForcedEndOnlyAndTheRestartCommandLeavesTheStartToIt) {
    std::ifstream in(std::filesystem::path(QEL_SOURCE_DIR) /
                     "packaging/agent/qelexp-agent.service");
    std::stringstream unit;
    unit << in.rdbuf();
    const std::string text = unit.str();
    EXPECT_THAT(text, HasSubstr("\nEnvironment=QELEXP_SUPERVISOR=systemd\n"));
    EXPECT_THAT(text, HasSubstr("\nRestart=on-failure\n"));
    EXPECT_THAT(text, HasSubstr("\nStartLimitIntervalSec=0\n"));
    EXPECT_THAT(text, HasSubstr("\nKillSignal=SIGTERM\n"));
    // Under that setting the command ends the agents and starts none.
    const std::string command =
        platform::posix::restartScript({41, 42}, 42, "/opt/qelexp", "QelExp", true);
    EXPECT_THAT(command, HasSubstr("kill -9"));
    EXPECT_THAT(command, ::testing::Not(HasSubstr("QelExp")));
}

}  // namespace
}  // namespace qel::testing
