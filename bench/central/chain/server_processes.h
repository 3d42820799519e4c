#pragma once

// The application servers of a load run: real qelexp-server processes on
// loopback ports over one central database, started one after the other
// (the first creates the tables) and stopped by their PIDs.

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace qel::chain {

class ServerProcesses {
  public:
    // Starts `count` servers of `executable` over `database`, each with
    // `threads` worker threads (0: the server's default), their output in
    // `logFolder`/server-N.log. Throws Error when one does not answer
    // GET /health within a minute.
    ServerProcesses(const std::filesystem::path& executable, const std::string& database, int count,
                    int threads, const std::filesystem::path& logFolder);
    // SIGTERM to each, then SIGKILL to one still running after 30 s.
    ~ServerProcesses();
    ServerProcesses(const ServerProcesses&) = delete;
    ServerProcesses& operator=(const ServerProcesses&) = delete;

    const std::vector<int>& ports() const { return ports_; }
    const std::vector<pid_t>& pids() const { return pids_; }
    // CPU seconds (user + system) the servers have used so far.
    double cpuSeconds() const;

  private:
    void stop();

    std::vector<pid_t> pids_;
    std::vector<int> ports_;
};

// CPU seconds (user + system) process `pid` has used so far; 0 when it is gone.
double processCpuSeconds(pid_t pid);

}  // namespace qel::chain
