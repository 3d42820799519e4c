#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "core/error.h"

extern char** environ;

namespace qel::chaos {
namespace {

std::mutex exitsMutex;
std::map<pid_t, ExitStatus> exits;  // children that ended, not yet asked for

}  // namespace

Processes::Processes() {
    // Orphaned descendants (the agent's detached restart shell and the agent
    // it starts) are re-parented to us and reaped here.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
}

Processes::~Processes() {
    reap();
}

pid_t Processes::spawn(const std::vector<std::string>& argv, const std::filesystem::path& folder,
                       const std::vector<std::string>& env, const std::filesystem::path& output) {
    reap();
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
    for (const std::string& add : env) {
        const std::string name = add.substr(0, add.find('=') + 1);
        std::erase_if(environment, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
        environment.push_back(add);
    }
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const std::string dir = folder.string(), out = output.string();

    const pid_t pid = fork();
    if (pid < 0) throw IoError(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        // The child: only async-signal-safe calls until exec.
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0) dup2(null, 0);
        setpgid(0, 0);  // its own group: a terminal's ^C reaches only the orchestrator
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (chdir(dir.c_str()) != 0) _exit(127);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    return pid;
}

void Processes::reap() {
    std::lock_guard lock(exitsMutex);
    int status = 0;
    pid_t pid = 0;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        ExitStatus s;
        s.signaled = WIFSIGNALED(status);
        s.code = s.signaled ? WTERMSIG(status) : WEXITSTATUS(status);
        exits[pid] = s;
    }
}

std::optional<ExitStatus> Processes::waitFor(pid_t pid, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        reap();
        {
            std::lock_guard lock(exitsMutex);
            const auto it = exits.find(pid);
            if (it != exits.end()) {
                const ExitStatus s = it->second;
                exits.erase(it);
                return s;
            }
        }
        if (std::chrono::steady_clock::now() >= until) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<pid_t> processesRunning(const std::filesystem::path& executable) {
    std::vector<pid_t> out;
    std::error_code ec;
    const auto wanted = std::filesystem::weakly_canonical(executable, ec);
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code linkError;
        const auto exe = std::filesystem::read_symlink(entry.path() / "exe", linkError);
        // A zombie's link cannot be read: only live processes count.
        if (linkError || exe != wanted) continue;
        out.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return out;
}

void signalAll(const std::vector<pid_t>& pids, int signal) {
    for (pid_t pid : pids) kill(pid, signal);
}

}  // namespace qel::chaos
