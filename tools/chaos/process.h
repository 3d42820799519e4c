#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qel::chaos {

// How a child process ended, as waitpid reports it.
struct ExitStatus {
    bool signaled = false;
    int code = 0;  // exit code, or the signal number when signaled
};

// Starting and watching the run's processes (POSIX fork/exec). The
// orchestrator makes itself the reaper of every descendant, so an agent that
// restarts itself through a detached shell is still collected here.
class Processes {
  public:
    Processes();
    ~Processes();
    Processes(const Processes&) = delete;
    Processes& operator=(const Processes&) = delete;

    // Starts `argv` in `folder` with `env` added to this process's environment
    // and its standard output and error appended to `output`. Throws IoError.
    pid_t spawn(const std::vector<std::string>& argv, const std::filesystem::path& folder,
                const std::vector<std::string>& env, const std::filesystem::path& output);

    // How `pid` ended, waiting at most `timeout`; nullopt while it runs.
    std::optional<ExitStatus> waitFor(pid_t pid, std::chrono::milliseconds timeout);

  private:
    void reap();
};

// Every running process whose executable is `executable` (read from /proc).
std::vector<pid_t> processesRunning(const std::filesystem::path& executable);

// Sends `signal` to each process; one already gone is no error.
void signalAll(const std::vector<pid_t>& pids, int signal);

}  // namespace qel::chaos
