#include "machine_watch.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>

namespace qel::chain {
namespace {

// One row per session of the database but this one.
constexpr const char* kSessions =
    "SELECT state, wait_event_type, wait_event FROM pg_stat_activity "
    "WHERE datname = current_database() AND pid <> pg_backend_pid() "
    "AND backend_type = 'client backend'";

std::string sessionState(PGresult* r, int row) {
    const std::string state = PQgetisnull(r, row, 0) ? "unknown" : PQgetvalue(r, row, 0);
    if (state != "active") return state;
    if (PQgetisnull(r, row, 1)) return "active (CPU)";
    return std::string("active, waiting ") + PQgetvalue(r, row, 1) + "/" + PQgetvalue(r, row, 2);
}

}  // namespace

MachineSample machineNow() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    in >> cpu;
    // user nice system idle iowait irq softirq steal: idle and iowait are not busy.
    double fields[8] = {};
    for (double& f : fields) in >> f;
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    MachineSample s;
    s.busyCpuSeconds =
        (fields[0] + fields[1] + fields[2] + fields[5] + fields[6] + fields[7]) / ticks;
    s.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    return s;
}

double loadAverage() {
    std::ifstream in("/proc/loadavg");
    double one = 0;
    in >> one;
    return one;
}

MachineWatch::MachineWatch(std::string database, int intervalMs)
    : database_(std::move(database)), intervalMs_(intervalMs) {
    thread_ = std::thread([this] {
        PGconn* c = PQconnectdb(database_.c_str());
        if (PQstatus(c) != CONNECTION_OK) {
            PQfinish(c);
            c = nullptr;
        }
        while (!stopping_) {
            sample(c);
            std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs_));
        }
        if (c) PQfinish(c);
    });
}

MachineWatch::~MachineWatch() {
    stop();
}

void MachineWatch::sample(void* connection) {
    const double load = loadAverage();
    ++report_.samples;
    loadSum_ += load;
    report_.loadMax = std::max(report_.loadMax, load);
    auto* c = static_cast<PGconn*>(connection);
    if (!c) return;
    PGresult* r = PQexec(c, kSessions);
    if (PQresultStatus(r) == PGRES_TUPLES_OK) {
        for (int row = 0; row < PQntuples(r); ++row) report_.sessions[sessionState(r, row)] += 1;
    }
    PQclear(r);
}

WatchReport MachineWatch::stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        thread_.join();
        if (report_.samples > 0) {
            const double n = report_.samples;
            report_.loadMean = loadSum_ / n;
            for (auto& [state, count] : report_.sessions) count /= n;
        }
    }
    return report_;
}

DatabaseSize databaseSize(const std::string& database) {
    PGconn* c = PQconnectdb(database.c_str());
    DatabaseSize size;
    if (PQstatus(c) == CONNECTION_OK) {
        PGresult* r = PQexec(c,
                             "SELECT pg_database_size(current_database()), "
                             "(SELECT count(*) FROM export_row), xact_commit, xact_rollback "
                             "FROM pg_stat_database WHERE datname = current_database()");
        if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1) {
            size.bytes = std::atoll(PQgetvalue(r, 0, 0));
            size.rows = std::atoll(PQgetvalue(r, 0, 1));
            size.committed = std::atoll(PQgetvalue(r, 0, 2));
            size.rolledBack = std::atoll(PQgetvalue(r, 0, 3));
        }
        PQclear(r);
    }
    PQfinish(c);
    return size;
}

}  // namespace qel::chain
