#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <system_error>
#include <thread>

#include "core/text.h"
#include "platform/platform.h"
#include "platform/posix/registry_file.h"
#include "platform/posix/restart_command.h"
#include "platform/posix/system_error.h"
#include "platform/process_names.h"

namespace qel::platform {
namespace {

// Folder for the single-instance lock files; QELEXP_LOCK_DIR overrides it.
std::filesystem::path lockFolder() {
    if (const char* dir = std::getenv("QELEXP_LOCK_DIR"); dir && *dir) return dir;
    if (access("/run/lock", W_OK) == 0) return "/run/lock";
    return "/tmp";
}

std::string readLink(const std::string& path) {
    char buf[4096];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<std::size_t>(n));
}

// Starts argv detached: in a session of its own, with the default signal
// arrangement (the agent blocks its stop signals and ignores SIGHUP, and both
// would survive exec) and /dev/null as its standard streams. posix_spawn
// starts it without copying the agent's address space, where a fork copies
// every page table of the process first. A thread of its own reaps it when
// it ends, so no zombie is left behind; the caller does not wait for it.
Status spawnDetached(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd) {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGHUP);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    pid_t child = -1;
    const int error = posix_spawn(&child, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return Status::failure(args[0] + ": " + posix::errnoMessage(error));
    try {
        std::thread([child] {
            int status = 0;
            while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the program runs all the same, and the agent's
        // end reaps it.
    }
    return Status::success();
}

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

class PosixPlatform final : public Platform {
  public:
    ~PosixPlatform() override {
        if (lockFd_ >= 0) close(lockFd_);
    }

    InstanceLock acquireSingleInstance(std::string_view name) override {
        const auto path = lockFolder() / ("qelexp-" + std::string(name) + ".lock");
        // O_CLOEXEC: programs we start must not inherit (and so keep) the lock.
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        // A lock file another user created (root, once, by hand) is still a
        // lock: flock needs no write access.
        if (fd < 0 && errno == EACCES) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return InstanceLock::Failed;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            close(fd);
            return error == EWOULDBLOCK ? InstanceLock::AlreadyRunning : InstanceLock::Failed;
        }
        if (lockFd_ >= 0) close(lockFd_);
        lockFd_ = fd;  // held until the process ends; the kernel drops it even on SIGKILL
        return InstanceLock::Acquired;
    }

    std::filesystem::path executableFolder() const override {
        const std::string self = readLink("/proc/self/exe");
        return std::filesystem::path(self).parent_path();
    }

    std::vector<ProcessInfo> listProcesses() const override {
        std::vector<ProcessInfo> result;
        DIR* dir = opendir("/proc");
        if (!dir) return result;
        while (const dirent* entry = readdir(dir)) {
            char* end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (pid <= 0 || *end != '\0') continue;
            const std::string base = std::string("/proc/") + entry->d_name;
            ProcessInfo info;
            info.pid = pid;
            info.exePath = readLink(base + "/exe");
            if (info.exePath.empty()) {
                // Not ours to inspect, or a kernel thread: fall back to argv[0].
                std::ifstream cmdline(base + "/cmdline", std::ios::binary);
                std::getline(cmdline, info.exePath, '\0');
            }
            const auto deleted = info.exePath.rfind(" (deleted)");
            if (deleted != std::string::npos && deleted + 10 == info.exePath.size()) {
                info.exePath.erase(deleted);
            }
            info.exeName = std::filesystem::path(info.exePath).filename().string();
            if (!info.exeName.empty()) result.push_back(std::move(info));
        }
        closedir(dir);
        return result;
    }

    Status terminateProcess(std::int64_t pid) override {
        if (pid == getpid()) _exit(0);
        if (kill(static_cast<pid_t>(pid), SIGKILL) != 0) {
            return Status::failure(posix::errnoMessage(errno));
        }
        return Status::success();
    }

    std::int64_t currentProcessId() const override { return getpid(); }

    std::vector<ProcessInfo> agentProcesses(std::string_view windowsExeName) const override {
        const std::string native = nativeExecutableName(windowsExeName);
        // An agent with its own instance domain only deals with agents run
        // from its own folder.
        const char* domain = std::getenv("QELEXP_LOCK_DIR");
        const bool ownFolderOnly = domain && *domain;
        const std::filesystem::path folder = executableFolder();
        std::vector<ProcessInfo> agents;
        for (ProcessInfo& p : listProcesses()) {
            if (!processNameMatches(p.exePath, native) &&
                !processNameMatches(p.exePath, windowsExeName)) {
                continue;
            }
            if (ownFolderOnly && std::filesystem::path(p.exePath).parent_path() != folder) continue;
            agents.push_back(std::move(p));
        }
        return agents;
    }

    Status startRestartCommand(const std::filesystem::path& folder, std::string_view windowsExeName,
                               bool) override {
        std::vector<std::int64_t> pids;
        for (const ProcessInfo& p : agentProcesses(windowsExeName)) pids.push_back(p.pid);
        const char* supervisor = std::getenv("QELEXP_SUPERVISOR");
        const bool supervised = supervisor && std::string_view(supervisor) == "systemd";
        return startShellCommand(posix::restartScript(
            pids, getpid(), folder, nativeExecutableName(windowsExeName), supervised));
    }

    void prepareStopRequests() override {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGHUP, &ignore, nullptr);
        // Broken connections are reported by the calls that meet them.
        sigaction(SIGPIPE, &ignore, nullptr);
        const sigset_t stop = stopSignals();
        pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    }

    bool waitForStopRequest(std::optional<std::chrono::milliseconds> timeout) override {
        const sigset_t stop = stopSignals();
        const auto deadline =
            std::chrono::steady_clock::now() + timeout.value_or(std::chrono::milliseconds(0));
        for (;;) {
            int got = -1;
            if (!timeout) {
                got = sigwaitinfo(&stop, nullptr);
            } else {
                const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0) return false;
                timespec ts{};
                ts.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
                ts.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
                got = sigtimedwait(&stop, nullptr, &ts);
            }
            if (got > 0) return true;
            if (errno == EAGAIN) return false;
            // EINTR: another signal's handler ran; wait on for what is left.
        }
    }

    Status startShellCommand(std::string_view commandLine) override {
        return spawnDetached({"/bin/sh", "-c", std::string(commandLine)});
    }

    Status startProgram(const std::filesystem::path& program,
                        std::string_view parameters) override {
        std::vector<std::string> args{program.string()};
        if (!parameters.empty()) args.emplace_back(parameters);
        return spawnDetached(args);
    }

    std::optional<std::string> readMachineString(std::string_view key,
                                                 std::string_view valueName) const override {
        return posix::readRegistryValue(posix::registryFilePath(), key, valueName);
    }

    // There is no notification area to speak of on a server; the agent runs
    // as a service and is stopped through its service manager.
    void installTrayIcon(std::string_view, std::string_view, std::function<void()>) override {}
    void removeTrayIcon() override {}
    std::int64_t windowHandle() const override { return getpid(); }
    void removeStaleTrayIcon(std::int64_t) override {}

    std::string nativeExecutableName(std::string_view windowsName) const override {
        if (windowsName.size() > 4 &&
            text::iequals(windowsName.substr(windowsName.size() - 4), ".exe")) {
            windowsName.remove_suffix(4);
        }
        return std::string(windowsName);
    }

  private:
    int lockFd_ = -1;
};

}  // namespace

std::unique_ptr<Platform> createPlatform() {
    return std::make_unique<PosixPlatform>();
}

}  // namespace qel::platform
