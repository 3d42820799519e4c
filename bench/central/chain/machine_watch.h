#pragma once

// What the machine and the central database did while a load ran: the load
// average, the share of the machine's CPU that was busy, and what
// PostgreSQL's sessions were doing (pg_stat_activity), sampled a few times a
// second on a thread of its own.

#include <atomic>
#include <map>
#include <string>
#include <thread>

namespace qel::chain {

struct MachineSample {
    double busyCpuSeconds = 0;  // every core, from /proc/stat
    double wallSeconds = 0;
};
MachineSample machineNow();
// The 1-minute load average now.
double loadAverage();

struct WatchReport {
    int samples = 0;
    double loadMax = 0;
    double loadMean = 0;
    // Sessions of the database in each state, on average over the samples:
    // "active (CPU)", "active, waiting Lock/transactionid", "idle",
    // "idle in transaction", ...
    std::map<std::string, double> sessions;
};

class MachineWatch {
  public:
    // Samples every `intervalMs` until stop(); `database` is a libpq URI.
    MachineWatch(std::string database, int intervalMs);
    ~MachineWatch();
    MachineWatch(const MachineWatch&) = delete;
    MachineWatch& operator=(const MachineWatch&) = delete;

    WatchReport stop();

  private:
    void sample(void* connection);

    std::string database_;
    int intervalMs_;
    std::atomic<bool> stopping_{false};
    WatchReport report_;
    double loadSum_ = 0;
    std::thread thread_;
};

// The size of the database, the rows its export_row table holds, and its
// transactions so far: a transfer whose COPY met a stored key is rolled back
// and runs again as an upsert.
struct DatabaseSize {
    long long bytes = 0;
    long long rows = 0;
    long long committed = 0;
    long long rolledBack = 0;
};
DatabaseSize databaseSize(const std::string& database);

}  // namespace qel::chain
