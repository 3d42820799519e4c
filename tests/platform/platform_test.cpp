#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/error.h"
#include "platform/platform.h"
#include "platform/posix/registry_file.h"
#include "platform/posix/restart_command.h"
#include "platform/process_names.h"

namespace fs = std::filesystem;
using qel::platform::InstanceLock;

namespace {

fs::path scratch(const std::string& name) {
    fs::path p = fs::temp_directory_path() / ("qel_platform_" + std::to_string(getpid()) + name);
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}

// Starts the probe; returns its pid and the first line it printed.
std::pair<pid_t, std::string> startProbe(const std::string& name, const char* mode) {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execl(INSTANCE_PROBE, INSTANCE_PROBE, name.c_str(), mode, nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    return {pid, line};
}

bool waitForFile(const fs::path& p) {
    for (int i = 0; i < 500 && !fs::exists(p); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return fs::exists(p);
}

std::string readAll(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(SingleInstance, SecondProcessIsToldAndALockOfAKilledProcessIsFree) {
    const fs::path dir = scratch("lock");
    setenv("QELEXP_LOCK_DIR", dir.c_str(), 1);
    const std::string name = "QELEXP";

    auto [holder, first] = startProbe(name, "hold");
    ASSERT_EQ(first, "acquired");
    auto [second, answer] = startProbe(name, "try");
    EXPECT_EQ(answer, "running");
    waitpid(second, nullptr, 0);
    // The agent itself asking while another process holds it.
    EXPECT_EQ(qel::platform::createPlatform()->acquireSingleInstance(name),
              InstanceLock::AlreadyRunning);

    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    auto [third, after] = startProbe(name, "try");
    EXPECT_EQ(after, "acquired");
    waitpid(third, nullptr, 0);
    unsetenv("QELEXP_LOCK_DIR");
    fs::remove_all(dir);
}

TEST(Processes, ListsThisProcessAndMatchesNamesUpperCased) {
    auto platform = qel::platform::createPlatform();
    const auto self = platform->currentProcessId();
    bool found = false;
    for (const auto& p : platform->listProcesses()) {
        if (p.pid == self) {
            found = true;
            EXPECT_EQ(p.exeName, "platform_test");
            EXPECT_EQ(fs::path(p.exePath).parent_path(), platform->executableFolder());
        }
    }
    EXPECT_TRUE(found);
    using qel::platform::processNameMatches;
    EXPECT_TRUE(processNameMatches("/opt/qelexp/QelExp", "qelexp"));
    EXPECT_TRUE(processNameMatches("C:\\Qel\\QelExp.exe", "QELEXP.EXE"));
    EXPECT_TRUE(processNameMatches("C:\\Qel\\QelExp.exe", "c:\\qel\\qelexp.exe"));
    EXPECT_FALSE(processNameMatches("/opt/qelexp/QelExp2", "QelExp"));
    EXPECT_EQ(platform->nativeExecutableName("QelExp.exe"), "QelExp");
    EXPECT_EQ(platform->nativeExecutableName("QelFid.EXE"), "QelFid");
}

TEST(Processes, StartsShellCommandsAndProgramsWithoutWaiting) {
    const fs::path dir = scratch("spawn");
    auto platform = qel::platform::createPlatform();
    ASSERT_TRUE(platform->startShellCommand("echo ok > '" + (dir / "shell.txt").string() + "'").ok);
    ASSERT_TRUE(waitForFile(dir / "shell.txt"));

    const fs::path script = dir / "tool.sh";
    std::ofstream(script)
        << "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > \"$(dirname \"$0\")/args.tmp\"\n"
        << "mv \"$(dirname \"$0\")/args.tmp\" \"$(dirname \"$0\")/args.txt\"\n";
    fs::permissions(script, fs::perms::owner_all);
    ASSERT_TRUE(platform->startProgram(script, "IMPTABELAS_0001_002_01__MANUAL_").ok);
    ASSERT_TRUE(waitForFile(dir / "args.txt"));
    EXPECT_EQ(readAll(dir / "args.txt"), "1|IMPTABELAS_0001_002_01__MANUAL_");

    const auto missing = platform->startProgram(dir / "nao_existe", "x");
    EXPECT_FALSE(missing.ok);
    EXPECT_NE(missing.message.find("No such file"), std::string::npos) << missing.message;
    fs::remove_all(dir);
}

// Children of this process that have ended and were not reaped.
int zombieChildren() {
    int zombies = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string stat = readAll(entry.path() / "stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == getpid() && state == 'Z') ++zombies;
    }
    return zombies;
}

// A started program runs in a session of its own with no signal blocked or
// ignored (the agent blocks its stop signals and ignores SIGHUP), and once
// it ends nothing of it is left behind.
TEST(Processes, AStartedProgramGetsDefaultSignalsItsOwnSessionAndIsReaped) {
    const fs::path dir = scratch("spawn_detached");
    auto platform = qel::platform::createPlatform();
    const fs::path script = dir / "tool.sh";
    std::ofstream(script) << "#!/bin/sh\n"
                          << "out=\"$(dirname \"$0\")\"\n"
                          // The shell's own builtins read its status: while it waits for a
                          // child, dash blocks every signal for a moment, which a child
                          // reading /proc/$$/status could see.
                          << "while IFS= read -r line; do\n"
                          << "  case \"$line\" in Sig[BI][lg]*) echo \"$line\";; esac\n"
                          << "done < /proc/$$/status > \"$out/signals.tmp\"\n"
                          << "cut -d' ' -f1,6 /proc/$$/stat >> \"$out/signals.tmp\"\n"
                          << "mv \"$out/signals.tmp\" \"$out/signals.txt\"\n";
    fs::permissions(script, fs::perms::owner_all);
    sigset_t stop, previous;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &stop, &previous), 0);
    struct sigaction ignore {
    }, previousHup{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &ignore, &previousHup);
    const auto started = platform->startProgram(script, "x");
    sigaction(SIGHUP, &previousHup, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_TRUE(started.ok) << started.message;
    ASSERT_TRUE(waitForFile(dir / "signals.txt"));
    std::istringstream lines(readAll(dir / "signals.txt"));
    std::string line, blocked, ignored, pid, session;
    while (std::getline(lines, line)) {
        if (line.rfind("SigBlk:", 0) == 0) blocked = line.substr(7);
        if (line.rfind("SigIgn:", 0) == 0) ignored = line.substr(7);
        if (!line.empty() && line[0] >= '0' && line[0] <= '9') {
            std::istringstream(line) >> pid >> session;
        }
    }
    EXPECT_EQ(blocked.find_first_not_of("\t 0"), std::string::npos) << blocked;
    const unsigned long long ignoredMask = std::stoull(ignored, nullptr, 16);
    EXPECT_EQ(ignoredMask & (1ull << (SIGHUP - 1)), 0u) << ignored;
    EXPECT_FALSE(pid.empty());
    EXPECT_EQ(pid, session);
    int zombies = zombieChildren();
    for (int i = 0; i < 500 && zombies != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        zombies = zombieChildren();
    }
    EXPECT_EQ(zombies, 0);
    fs::remove_all(dir);
}

// The message of the ConfigError a configuration file raises, or "" when it reads.
std::string configurationFault(const fs::path& file, const std::string& content) {
    if (!content.empty() || !fs::exists(file)) {
        fs::remove_all(file);
        if (content != "<none>" && content != "<folder>")
            std::ofstream(file, std::ios::binary) << content;
        if (content == "<folder>") fs::create_directories(file);
    }
    try {
        qel::platform::posix::readRegistryValue(
            file, "Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel", "IPServer");
        return "";
    } catch (const qel::ConfigError& e) {
        return e.what();
    }
}

TEST(RegistryFile, FaultsNameTheFileAndWhatIsWrong) {
    const fs::path dir = scratch("regfaults");
    const fs::path file = dir / "registry.conf";
    const std::string section =
        "[HKEY_LOCAL_MACHINE\\Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]\n";
    const std::string named = "Configuration file " + file.string() + ": ";
    EXPECT_EQ(configurationFault(file, "<none>"),
              named + "does not exist (set QELEXP_REGISTRY or create it)");
    EXPECT_EQ(configurationFault(file, "<folder>"), named + "is a folder");
    fs::remove_all(file);
    EXPECT_EQ(configurationFault(file, std::string("\x89PNG\r\n\x1a\n\0\xff\xfe", 11)),
              named + "is not a UTF-8 text file");
    EXPECT_EQ(configurationFault(file, "[Software\\Outro]\nIPServer = 1.2.3.4\n"),
              named +
                  "has no section [HKEY_LOCAL_MACHINE\\Software\\MORADEX\\Sistemas "
                  "Integrados Moradex\\Orbel]");
    EXPECT_EQ(configurationFault(file, section + "# comment\nIPServer: x\n"),
              named + "line 3: 'IPServer: x' is not of the form name = value");
    EXPECT_EQ(configurationFault(file, "[Orbel\nIPServer = x\n"),
              named + "line 1: a section name without its ']'");
    EXPECT_EQ(configurationFault(file, section + " = 1.2.3.4\n"),
              named + "line 2: a value without a name");
    // A byte-order mark, as Windows editors write it, is accepted.
    EXPECT_EQ(configurationFault(file, "\xEF\xBB\xBF" + section + "IPServer = 192.0.2.1\r\n"), "");
    EXPECT_EQ(qel::platform::posix::readRegistryValue(
                  file, "Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel", "IPServer"),
              "192.0.2.1");
    // An empty file has no section either.
    std::ofstream(file, std::ios::trunc).close();
    EXPECT_NE(configurationFault(file, "").find("has no section"), std::string::npos);
    fs::remove_all(dir);
}

TEST(RegistryFile, ReadsValuesByKeyCaseInsensitivelyAndKeepsQuotedBlanks) {
    const fs::path dir = scratch("reg");
    const fs::path file = dir / "registry.conf";
    std::ofstream(file)
        << "# QelExp settings\n"
           "[HKEY_LOCAL_MACHINE\\Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]\n"
           "IPServer = 192.0.2.10:212\r\n"
           "Espacos = \" 192.0.2.10\"\n"
           "[Software\\Outro]\n"
           "IPServer = errado\n";
    using qel::platform::posix::readRegistryValue;
    const std::string key = "Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel";
    EXPECT_EQ(readRegistryValue(file, key, "ipserver"), "192.0.2.10:212");
    EXPECT_EQ(
        readRegistryValue(file, "SOFTWARE\\moradex\\Sistemas Integrados Moradex\\Orbel", "Espacos"),
        " 192.0.2.10");
    EXPECT_EQ(readRegistryValue(file, key, "Ausente"), std::nullopt);
    // The file is the machine's whole configuration: a key it lacks is a fault.
    EXPECT_THROW(readRegistryValue(file, "Software\\Nada", "IPServer"), qel::ConfigError);

    setenv("QELEXP_REGISTRY", file.c_str(), 1);
    EXPECT_EQ(qel::platform::createPlatform()->readMachineString(key, "IPServer"),
              "192.0.2.10:212");
    unsetenv("QELEXP_REGISTRY");
    if (geteuid() != 0) {
        fs::permissions(file, fs::perms::none);
        EXPECT_THROW(readRegistryValue(file, key, "IPServer"), qel::ConfigError);
    }
    fs::remove_all(dir);
}

namespace {

// Runs `body` in a forked child (signal masks must not leak into the test
// process) and returns the child's exit code.
template <typename Body>
int inChild(Body body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TEST(StopRequests, TermAndIntAreStopRequestsHupIsIgnoredAndTimeoutsEndTheWait) {
    for (const int stopSignal : {SIGTERM, SIGINT}) {
        const int code = inChild([stopSignal] {
            auto platform = qel::platform::createPlatform();
            platform->prepareStopRequests();
            if (platform->waitForStopRequest(std::chrono::milliseconds(1))) return 10;
            kill(getpid(), SIGHUP);  // ignored: neither ends the process nor stops
            if (platform->waitForStopRequest(std::chrono::milliseconds(1))) return 11;
            kill(getpid(), stopSignal);  // held pending until the wait takes it
            if (!platform->waitForStopRequest(std::nullopt)) return 12;
            return 0;
        });
        EXPECT_EQ(code, 0) << "signal " << stopSignal;
    }
}

TEST(StopRequests, ProgramsStartedByTheAgentGetTheDefaultSignalArrangement) {
    const fs::path dir = scratch("sigmask");
    const fs::path out = dir / "status.txt";
    const int code = inChild([&] {
        auto platform = qel::platform::createPlatform();
        platform->prepareStopRequests();
        const auto started = platform->startShellCommand(
            "grep -E '^(SigBlk|SigIgn)' /proc/self/status > '" + out.string() + ".tmp' && mv '" +
            out.string() + ".tmp' '" + out.string() + "'");
        return started.ok ? 0 : 1;
    });
    ASSERT_EQ(code, 0);
    ASSERT_TRUE(waitForFile(out));
    const std::string status = readAll(out);
    EXPECT_NE(status.find("SigBlk:\t0000000000000000"), std::string::npos) << status;
    // SIGHUP is signal 1: bit 0 of the ignored set.
    const auto ign = status.find("SigIgn:\t");
    ASSERT_NE(ign, std::string::npos);
    EXPECT_EQ(std::stoull(status.substr(ign + 8, 16), nullptr, 16) & 1ULL, 0ULL) << status;
    fs::remove_all(dir);
}

TEST(RestartCommand, EndsEveryListedProcessThenStartsOneProgramOnlyAfterTheyAreGone) {
    const fs::path dir = scratch("restart");
    const fs::path sleeper = dir / "QelExp";
    fs::copy_file("/bin/sleep", sleeper);
    std::vector<std::int64_t> pids;
    for (int i = 0; i < 2; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            execl(sleeper.c_str(), sleeper.c_str(), "300", nullptr);
            _exit(127);
        }
        pids.push_back(pid);
    }
    // The started program records which of the old processes still ran.
    std::ofstream(dir / "starter.sh") << "#!/bin/sh\nfor p in " << pids[0] << " " << pids[1]
                                      << "; do [ -e /proc/$p ] && [ \"$(cut -d' ' -f3 "
                                         "/proc/$p/stat)\" != Z ] && echo \"alive $p\"; done "
                                         "> seen.tmp\necho started >> seen.tmp\n"
                                         "mv seen.tmp seen.txt\n";
    fs::permissions(dir / "starter.sh", fs::perms::owner_all);

    const std::string script =
        qel::platform::posix::restartScript(pids, -1, dir, "starter.sh", false);
    auto platform = qel::platform::createPlatform();
    ASSERT_TRUE(platform->startShellCommand(script).ok);
    for (const std::int64_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(static_cast<pid_t>(pid), &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    }
    ASSERT_TRUE(waitForFile(dir / "seen.txt"));
    EXPECT_EQ(readAll(dir / "seen.txt"), "started\n");

    // Supervised: the processes end and nothing is started.
    const std::string supervised =
        qel::platform::posix::restartScript({7, 3, 9}, 3, dir, "QelExp", true);
    EXPECT_NE(supervised.find("pids='7 9 3'"), std::string::npos) << supervised;
    EXPECT_EQ(supervised.find("exec"), std::string::npos);
    EXPECT_EQ(qel::platform::posix::shellQuote("a'b c"), "'a'\\''b c'");
    fs::remove_all(dir);
}
