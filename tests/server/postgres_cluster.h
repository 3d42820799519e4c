#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>

namespace qel::testing {

// A throw-away PostgreSQL server for tests and benchmarks: a cluster made by
// initdb in a temporary folder, a postgres process on a free loopback port,
// stopped by its PID and deleted when this object goes. As root (CI) the
// cluster belongs to the unprivileged user "nobody", since postgres refuses
// to run as root.
class PostgresCluster {
  public:
    // The cluster of this process, started on first use; null when
    // PostgreSQL is not installed or does not start (see unavailableReason).
    static PostgresCluster* shared();
    static const std::string& unavailableReason();

    ~PostgresCluster();
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    // Creates an empty database and answers its postgresql:// URI.
    std::string createDatabase();
    int port() const { return port_; }
    // The folder of the server's programs (pg_dump, pg_restore, psql).
    const std::filesystem::path& binaries() const { return bin_; }
    // CPU seconds (user + system) used so far by the server and its
    // backends still running, for benchmarks that split a transfer's cost.
    double cpuSeconds() const;

    // Stops the server (ending every session, as an operator's restart does)
    // and starts it again on the same port and data, `down` later. Throws
    // when it cannot.
    void restart(std::chrono::milliseconds down = std::chrono::milliseconds(0));

  private:
    PostgresCluster() = default;
    void start();
    void stop();
    void stopServer();
    void launch(int port);  // sets pid_ when the server answers on `port`
    std::string uri(const std::string& database) const;

    std::filesystem::path folder_;
    std::filesystem::path bin_;
    pid_t pid_ = -1;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    int port_ = 0;
    int databases_ = 0;
};

}  // namespace qel::testing
