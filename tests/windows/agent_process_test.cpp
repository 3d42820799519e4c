// QelExp.exe itself under Wine: its registry values written with reg.exe, a
// SQLite station the simulator filled (QELEXP_TEST_STATION), the Linux
// application server on loopback (QELEXP_TEST_SERVER, its store in
// QELEXP_TEST_SERVER_DB). Start-up with the point-of-sale parameters, one
// export cycle, the hidden window and its tray menu, and the restart command.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "../station_files.h"
#include "child_process.h"
#include "core/clock.h"
#include "log/run_log.h"
#include "platform/windows/main_window.h"
#include "platform/windows/windows_platform.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qel::platform::testing::ChildProcess;
using qel::platform::testing::eventually;
using qel::platform::testing::runToEnd;
using qel::platform::testing::scratchFolder;
using qel::platform::windows::WindowsPlatform;
using qel::testing::queryText;
using qel::testing::runLogLines;
using qel::testing::sqliteStationConnection;

namespace {

constexpr char kOrbelKey[] = "\"HKLM\\Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel\"";

// A host path ("/tmp/x") as Wine sees it: the drive Z: is the host's root.
fs::path winePath(std::string text) {
    if (!text.empty() && text.front() == '/') {
        std::replace(text.begin(), text.end(), '/', '\\');
        text = "Z:" + text;
    }
    return fs::path(text);
}

fs::path fromEnvironment(const char* variable) {
    const char* value = std::getenv(variable);
    return value && *value ? winePath(value) : fs::path();
}

// The popup menu (window class "#32768") that process `pid` shows.
HWND visibleMenuOf(DWORD pid) {
    for (HWND menu = FindWindowExW(nullptr, nullptr, L"#32768", nullptr); menu;
         menu = FindWindowExW(nullptr, menu, L"#32768", nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(menu, &owner);
        if (owner == pid && IsWindowVisible(menu)) return menu;
    }
    return nullptr;
}

class AgentOnWindows : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* server = std::getenv("QELEXP_TEST_SERVER");
        const fs::path seed = fromEnvironment("QELEXP_TEST_STATION");
        serverStore = fromEnvironment("QELEXP_TEST_SERVER_DB");
        if (!server || seed.empty() || serverStore.empty()) {
            GTEST_SKIP() << "needs the Linux server and a simulated station "
                            "(tools/windows/run_tests.sh sets QELEXP_TEST_SERVER, "
                            "QELEXP_TEST_STATION, QELEXP_TEST_SERVER_DB)";
        }
        dir = scratchFolder("agent");
        fs::copy_file(winePath(QELEXP_EXE), dir / "QelExp.exe");
        fs::copy_file(seed, station());
        ASSERT_EQ(reg("StringConexao", sqliteStationConnection(dir)), 0);
        ASSERT_EQ(reg("IPServer", server), 0);
    }

    void TearDown() override {
        if (dir.empty()) return;
        for (const auto& p : platform.agentProcesses("QelExp.exe")) {
            platform.terminateProcess(p.pid);
        }
        runToEnd(std::string("reg.exe delete ") + kOrbelKey + " /f /reg:32", 60s);
    }

    static long reg(const std::string& name, const std::string& value) {
        return runToEnd(std::string("reg.exe add ") + kOrbelKey + " /v " + name +
                            " /t REG_SZ /d \"" + value + "\" /f /reg:32",
                        60s);
    }

    fs::path station() const { return dir / "QELCAIXA.db"; }
    std::string stationText(const std::string& sql) const { return queryText(station(), sql); }

    // Today's run-log lines in UTF-8, without their date-time prefix.
    std::vector<std::string> logLines() const {
        qel::SystemClock clock;
        return runLogLines(qel::log::RunLog(dir, clock).fileFor(clock.now()));
    }
    std::size_t logCount(const std::string& line) const {
        const auto lines = logLines();
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
    }

    // The agent's hidden window, by the handle it wrote for the next instance.
    HWND agentWindow() const {
        std::ifstream in(dir / "lastHandle.txt");
        std::string text;
        std::getline(in, text);
        return text.empty() ? nullptr : reinterpret_cast<HWND>(std::stoll(text));
    }

    // The server's stored rows of one table for one store: read from a copy,
    // so that no lock is shared between a Windows and a Linux process.
    std::string heldByServer(const std::string& table, const std::string& store) const {
        const fs::path copy = dir / "central-copy.db";
        fs::copy_file(serverStore, copy, fs::copy_options::overwrite_existing);
        fs::path wal = serverStore;
        wal += "-wal";
        fs::path walCopy = copy;
        walCopy += "-wal";
        if (fs::exists(wal)) fs::copy_file(wal, walCopy, fs::copy_options::overwrite_existing);
        return queryText(copy, "SELECT COUNT(*) FROM export_row WHERE table_name = '" + table +
                                   "' AND store = '" + store + "'");
    }

    WindowsPlatform platform;
    fs::path dir;
    fs::path serverStore;
};

TEST_F(AgentOnWindows, ExportsOnceThenTheTrayMenuEndsItAndTheRestartLeavesOneAgent) {
    const std::string store = "0714";  // the simulator's store for this test
    const std::string loja = stationText("SELECT CDLOJA FROM CAIXA WHERE CDCAIXA = '001'");
    const std::string minutes =
        stationText("SELECT NRMINEXPVENDA FROM PARAVEND WHERE CDFILIAL = '" + store + "'");
    ASSERT_FALSE(loja.empty());
    const std::string pending = stationText("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA <> 'S'");
    ASSERT_NE(pending, "0");

    ChildProcess agent("\"" + (dir / "QelExp.exe").string() + "\" X_" + store + "_001_" + loja +
                       "_");
    ASSERT_TRUE(agent.started());
    ASSERT_TRUE(eventually([&] { return logCount("QelExp Executando: Não") == 1; }, 300s))
        << "no export cycle ended";
    const auto lines = logLines();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0], "FormCreate");
    EXPECT_EQ(lines[2], "Parâmetros da Exportação de Vendas (Pontax.exe):");
    EXPECT_EQ(lines[3], "Filial: " + store + " Caixa: 001 Loja: " + loja);
    EXPECT_EQ(lines[5], "Intervalo do timer: " + std::to_string(std::stoll(minutes) * 60'000) +
                            ", " + minutes + " minutos.");
    EXPECT_EQ(logCount("EXISTEM DADOS A SEREM EXPORTADOS."), 1u);
    EXPECT_EQ(logCount("Exportação realizada pelo QelExp"), 1u);

    // Every sale the station marks as sent is held by the server.
    const std::string sent = stationText("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA = 'S'");
    EXPECT_NE(sent, "0");
    EXPECT_EQ(heldByServer("VENDA", store), sent);

    // A close request from this (another) process only hides the window.
    const HWND window = agentWindow();
    ASSERT_TRUE(IsWindow(window));
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    ASSERT_EQ(owner, agent.pid());
    wchar_t caption[64] = {};
    GetWindowTextW(window, caption, 64);
    EXPECT_EQ(std::wstring(caption), L"Exporta\u00e7\u00e3o de Vendas");
    ShowWindow(window, SW_SHOWNA);
    ASSERT_TRUE(eventually([&] { return IsWindowVisible(window) != FALSE; }, 60s));
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(eventually([&] { return IsWindowVisible(window) == FALSE; }, 60s));
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_BLOCK, 30'000, nullptr);
    EXPECT_TRUE(agent.running());

    // A right button on the icon opens the menu; its one item ends the agent
    // with the station recorded as not running.
    PostMessageW(window, qel::platform::windows::kTrayCallbackMessage, 0,
                 qel::platform::windows::kTrayMenuMouseMessage);
    HWND menu = nullptr;
    ASSERT_TRUE(eventually([&] { return (menu = visibleMenuOf(agent.pid())) != nullptr; }, 60s));
    EXPECT_TRUE(agent.running()) << "opening the menu alone must not end the agent";
    PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_EQ(agent.waitForExit(120s), 0);
    EXPECT_EQ(stationText("SELECT IDQELEXPEXECUTA FROM QELEXPEXECUTA WHERE CDFILIAL = '" + store +
                          "' AND CDCAIXA = '001'"),
              "N");
    EXPECT_EQ(logLines().back(), "FormDestroy");

    // The restart command, in the titled form Wine's cmd accepts: it ends
    // the running agent and exactly one new agent comes up from the folder.
    ChildProcess old("\"" + (dir / "QelExp.exe").string() + "\" X_" + store + "_001_" + loja + "_");
    ASSERT_TRUE(eventually([&] { return logCount("FormCreate") == 2; }, 120s));
    ASSERT_TRUE(platform
                    .shellExecuteHidden("cmd.exe",
                                        "/C TASKKILL /F /IM QelExp.exe && start \"\" /D "
                                        "\"" +
                                            dir.string() + "\" /B QelExp.exe")
                    .ok);
    EXPECT_NE(old.waitForExit(120s), -1);
    ASSERT_TRUE(eventually([&] { return logCount("FormCreate") == 3; }, 120s));
    const auto now = platform.agentProcesses("QelExp.exe");
    ASSERT_EQ(now.size(), 1u);
    EXPECT_NE(now[0].pid, static_cast<std::int64_t>(old.pid()));
}

}  // namespace
