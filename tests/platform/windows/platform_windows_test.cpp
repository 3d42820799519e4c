// The platform suite on Windows (run under Wine in CI): the single-instance
// mutex, processes by name, the restart command, the registry, the shell.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "child_process.h"
#include "core/clock.h"
#include "log/run_log.h"
#include "platform/process_names.h"
#include "platform/windows/restart_command.h"
#include "platform/windows/windows_platform.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qel::platform::InstanceLock;
using qel::platform::testing::ChildProcess;
using qel::platform::testing::eventually;
using qel::platform::testing::runToEnd;
using qel::platform::testing::scratchFolder;
using qel::platform::testing::testFolder;
using qel::platform::windows::WindowsPlatform;

namespace {

std::string quoted(const fs::path& p) {
    return "\"" + p.string() + "\"";
}

std::string probe(const std::string& arguments) {
    return quoted(testFolder() / "instance_probe.exe") + " " + arguments;
}

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Pids of the running processes whose executable answers to `name`.
std::vector<std::int64_t> pidsNamed(WindowsPlatform& platform, const std::string& name) {
    std::vector<std::int64_t> pids;
    for (const auto& p : platform.agentProcesses(name)) pids.push_back(p.pid);
    return pids;
}

std::string uniqueName(const char* what) {
    return std::string("QELEXP_TEST_") + what + "_" + std::to_string(GetCurrentProcessId());
}

}  // namespace

TEST(SingleInstance, SecondProcessIsToldAndTheMutexOfAKilledProcessIsFree) {
    const std::string name = uniqueName("MUTEX");
    ChildProcess holder(probe(name + " hold"), true);
    ASSERT_EQ(holder.firstLine(), "acquired");

    ChildProcess second(probe(name + " try"), true);
    EXPECT_EQ(second.firstLine(), "running");
    EXPECT_EQ(second.waitForExit(30s), 0);
    // The agent itself asking while another process holds it.
    EXPECT_EQ(WindowsPlatform().acquireSingleInstance(name), InstanceLock::AlreadyRunning);

    holder.kill();
    ChildProcess third(probe(name + " try"), true);
    EXPECT_EQ(third.firstLine(), "acquired");
    EXPECT_EQ(third.waitForExit(30s), 0);

    // Within one process the mutex is held until the platform object goes.
    {
        WindowsPlatform owner;
        EXPECT_EQ(owner.acquireSingleInstance(name), InstanceLock::Acquired);
        ChildProcess fourth(probe(name + " try"), true);
        EXPECT_EQ(fourth.firstLine(), "running");
    }
    ChildProcess fifth(probe(name + " try"), true);
    EXPECT_EQ(fifth.firstLine(), "acquired");
}

TEST(Processes, ListsThisProcessAndEndsEveryProcessOfOneName) {
    WindowsPlatform platform;
    const auto self = platform.currentProcessId();
    bool found = false;
    for (const auto& p : platform.listProcesses()) {
        if (p.pid != self) continue;
        found = true;
        EXPECT_EQ(p.exeName, "platform_test.exe");
        EXPECT_TRUE(qel::platform::processNameMatches(p.exePath, "PLATFORM_TEST.EXE")) << p.exePath;
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(platform.executableFolder(), testFolder());
    EXPECT_EQ(platform.nativeExecutableName("QelExp.exe"), "QelExp.exe");

    // Two probes under a copied executable name: both found upper-cased, both ended.
    const fs::path folder = scratchFolder("kill");
    fs::copy_file(testFolder() / "instance_probe.exe", folder / "QelKillProbe.exe");
    ChildProcess first(quoted(folder / "QelKillProbe.exe") + " " + uniqueName("K1") + " hold",
                       true);
    ChildProcess second(quoted(folder / "QelKillProbe.exe") + " " + uniqueName("K2") + " hold",
                        true);
    ASSERT_EQ(first.firstLine(), "acquired");
    ASSERT_EQ(second.firstLine(), "acquired");
    const auto pids = pidsNamed(platform, "QELKILLPROBE.EXE");
    ASSERT_EQ(pids.size(), 2u);
    for (const auto pid : pids) EXPECT_TRUE(platform.terminateProcess(pid).ok);
    EXPECT_EQ(first.waitForExit(60s), 0);
    EXPECT_EQ(second.waitForExit(60s), 0);
    EXPECT_TRUE(pidsNamed(platform, "QelKillProbe.exe").empty());
    EXPECT_FALSE(platform.terminateProcess(0x7FFFFFF0).ok);  // no such process
}

TEST(Processes, StartsShellCommandsAndProgramsWithParameters) {
    WindowsPlatform platform;
    const fs::path folder = scratchFolder("spawn");
    ASSERT_TRUE(platform.startShellCommand("echo ok> " + quoted(folder / "shell.txt")).ok);
    ASSERT_TRUE(eventually([&] { return fs::exists(folder / "shell.txt"); }, 30s));

    const std::string name = uniqueName("START");
    ASSERT_TRUE(platform.startProgram(testFolder() / "instance_probe.exe", name + " hold").ok);
    // Started with its parameters: it holds the mutex of that name.
    ASSERT_TRUE(eventually(
        [&] {
            return WindowsPlatform().acquireSingleInstance(name) == InstanceLock::AlreadyRunning;
        },
        30s));
    for (const auto pid : pidsNamed(platform, "instance_probe.exe")) {
        platform.terminateProcess(pid);
    }
    const auto missing = platform.startProgram(folder / "nao_existe.exe", "x");
    EXPECT_FALSE(missing.ok);
    EXPECT_NE(missing.message.find("nao_existe.exe"), std::string::npos) << missing.message;
}

TEST(RestartCommand, TextIsTheShellCommandByteForByte) {
    using qel::platform::windows::restartParameters;
    EXPECT_EQ(restartParameters("C:\\Moradex\\QelExp", false),
              "/C TASKKILL /F /IM QelExp.exe && start /D \"C:\\Moradex\\QelExp\" /B QelExp.exe");
    EXPECT_EQ(restartParameters("C:\\Moradex\\QelExp", true),
              "/C TASKKILL /F /IM QelExp.exe && start /D \"C:\\Moradex\\QelExp\" /B QelExp.exe ");
    EXPECT_EQ(restartParameters(L"D:\\Aplica\u00e7\u00e3o", false),
              "/C TASKKILL /F /IM QelExp.exe && start /D \"D:\\Aplica\xC3\xA7\xC3\xA3o\" /B "
              "QelExp.exe");
}

// Wine's cmd refuses "start /D folder" without a title; the titled form
// shows that the command kills every old process before the new one starts.
TEST(RestartCommand, KillsEveryOldProcessAndLeavesExactlyOneNew) {
    WindowsPlatform platform;
    const fs::path folder = scratchFolder("restart");
    fs::copy_file(testFolder() / "instance_probe.exe", folder / "QelRestartProbe.exe");
    const std::string name = uniqueName("RESTART");
    ChildProcess old(quoted(folder / "QelRestartProbe.exe") + " " + name + " hold", true);
    ASSERT_EQ(old.firstLine(), "acquired");

    const std::string command = "/C TASKKILL /F /IM QelRestartProbe.exe && start \"\" /D " +
                                quoted(folder) + " /B QelRestartProbe.exe " + name + " hold";
    ASSERT_TRUE(platform.shellExecuteHidden("cmd.exe", command).ok);
    EXPECT_NE(old.waitForExit(30s), -1);
    ASSERT_TRUE(eventually(
        [&] {
            const auto pids = pidsNamed(platform, "QelRestartProbe.exe");
            return pids.size() == 1 && pids[0] != old.pid();
        },
        30s));
    // The new process gets the mutex: the old one was gone before it started.
    EXPECT_TRUE(eventually(
        [&] {
            return WindowsPlatform().acquireSingleInstance(name) == InstanceLock::AlreadyRunning;
        },
        30s));
    EXPECT_EQ(pidsNamed(platform, "QelRestartProbe.exe").size(), 1u);
    for (const auto pid : pidsNamed(platform, "QelRestartProbe.exe")) {
        platform.terminateProcess(pid);
    }
}

TEST(Registry, ReadsStringsUnderLocalMachineInBothViews) {
    const std::string key = "Software\\QelExpTest" + std::to_string(GetCurrentProcessId());
    const std::string hklm = "\"HKLM\\" + key + "\"";
    if (runToEnd("reg.exe add " + hklm + " /v IPServer /t REG_SZ /d 192.0.2.10:212 /f /reg:32",
                 60s) != 0) {
        GTEST_SKIP() << "cannot write HKEY_LOCAL_MACHINE here (no administrator rights)";
    }
    ASSERT_EQ(
        runToEnd("reg.exe add " + hklm + " /v Espacos /t REG_SZ /d \" 192.0.2.10\" /f /reg:32",
                 60s),
        0);
    ASSERT_EQ(
        runToEnd("reg.exe add " + hklm + "64 /v Nativo /t REG_SZ /d 10.0.0.1 /f /reg:64", 60s), 0);
    WindowsPlatform platform;
    EXPECT_EQ(platform.readMachineString(key, "IPServer"), "192.0.2.10:212");
    EXPECT_EQ(platform.readMachineString(key, "ipserver"), "192.0.2.10:212");
    EXPECT_EQ(platform.readMachineString(key, "Espacos"), " 192.0.2.10");
    EXPECT_EQ(platform.readMachineString(key + "64", "Nativo"), "10.0.0.1");
    EXPECT_EQ(platform.readMachineString(key, "Ausente"), std::nullopt);
    EXPECT_EQ(platform.readMachineString(key + "\\Nada", "IPServer"), std::nullopt);
    runToEnd("reg.exe delete " + hklm + " /f /reg:32", 60s);
    runToEnd("reg.exe delete " + hklm.substr(0, hklm.size() - 1) + "64\" /f /reg:64", 60s);
}

TEST(RunLogOnWindows, WritesUnderTheExecutableFolderWithBackslashesCrLfAndCp1252) {
    const fs::path folder = scratchFolder("log");
    qel::ManualClock clock(qel::DateTime::fromDateTime(2026, 12, 6, 9, 52, 13));
    qel::log::RunLog log(folder, clock);
    log.GravaLog("Exporta\xC3\xA7\xC3\xA3o realizada pelo QelExp");
    const fs::path file = log.fileFor(clock.now());
    EXPECT_EQ(file.native(), folder.native() + L"\\Dados\\Qel_Exp\\Qel_Exp061226.txt");
    EXPECT_EQ(readAll(file), "06/12/2026 09:52:13 - Exporta\xE7\xE3o realizada pelo QelExp\r\n");

    // A folder whose name the ANSI code page may not hold.
    const fs::path wide = folder / L"\u0141\u00f3d\u017a";
    qel::log::RunLog wideLog(wide, clock);
    wideLog.GravaLog("ok");
    EXPECT_EQ(readAll(wideLog.fileFor(clock.now())), "06/12/2026 09:52:13 - ok\r\n");
}
