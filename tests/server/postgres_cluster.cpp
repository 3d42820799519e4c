#include "postgres_cluster.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "loopback/loopback.h"

namespace qel::testing {
namespace {

std::string& reason() {
    static std::string r;
    return r;
}

// The newest installed server binaries (Debian: /usr/lib/postgresql/<major>/bin).
std::filesystem::path findBinaries() {
    if (const char* env = std::getenv("QEL_PG_BIN")) return env;
    std::filesystem::path best;
    int bestMajor = -1;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        const int major = std::atoi(e.path().filename().c_str());
        if (major > bestMajor && std::filesystem::exists(e.path() / "bin" / "initdb")) {
            bestMajor = major;
            best = e.path() / "bin";
        }
    }
    return best;
}

// Runs `argv` as the cluster's owner with its output in `log`; answers the PID.
pid_t spawn(const std::vector<std::string>& argv, const std::filesystem::path& log, uid_t uid,
            gid_t gid) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
    }
    ::setpgid(0, 0);  // a terminal's Ctrl-C is for the test, which stops the server itself
    if (::geteuid() == 0 && (::setgid(gid) != 0 || ::setuid(uid) != 0)) ::_exit(126);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
}

}  // namespace

const std::string& PostgresCluster::unavailableReason() {
    return reason();
}

PostgresCluster* PostgresCluster::shared() {
    static std::unique_ptr<PostgresCluster> cluster = []() -> std::unique_ptr<PostgresCluster> {
        std::unique_ptr<PostgresCluster> c(new PostgresCluster());
        try {
            c->start();
            return c;
        } catch (const std::exception& e) {
            reason() = e.what();
            return nullptr;
        }
    }();
    return cluster.get();
}

void PostgresCluster::start() {
    bin_ = findBinaries();
    if (bin_.empty()) {
        throw std::runtime_error(
            "PostgreSQL is not installed (no /usr/lib/postgresql/*/bin/initdb; "
            "apt-get install postgresql)");
    }
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();
    if (uid == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody) throw std::runtime_error("no user 'nobody' to run PostgreSQL as");
        uid = nobody->pw_uid;
        gid = nobody->pw_gid;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "qel-pg-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    folder_ = pattern;
    if (::chown(folder_.c_str(), uid, gid) != 0) {
        throw std::runtime_error("cannot give " + folder_.string() + " to the PostgreSQL user");
    }
    const pid_t init = spawn({(bin_ / "initdb").string(), "-D", (folder_ / "data").string(), "-A",
                              "trust", "-U", "qel", "-E", "UTF8", "--locale=C", "--no-sync"},
                             folder_ / "initdb.log", uid, gid);
    int status = 0;
    ::waitpid(init, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("initdb failed; see " + (folder_ / "initdb.log").string());
    }
    uid_ = uid;
    gid_ = gid;
    for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) launch(loopback::freePort());
    if (pid_ < 0) {
        throw std::runtime_error("postgres did not start; see " +
                                 (folder_ / "server.log").string());
    }
}

void PostgresCluster::launch(int port) {
    port_ = port;
    const auto log = folder_ / "server.log";
    const pid_t pid =
        spawn({(bin_ / "postgres").string(), "-D", (folder_ / "data").string(), "-p",
               std::to_string(port_), "-k", folder_.string(), "-c", "listen_addresses=127.0.0.1",
               "-c", "max_connections=200", "-c", "shared_buffers=128MB"},
              log, uid_, gid_);
    const std::string ping = "host=127.0.0.1 port=" + std::to_string(port_) +
                             " user=qel dbname=postgres connect_timeout=2";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (PQping(ping.c_str()) == PQPING_OK) {
            pid_ = pid;
            return;
        }
        if (::waitpid(pid, &status, WNOHANG) == pid) return;  // exited: port taken?
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
}

void PostgresCluster::restart(std::chrono::milliseconds down) {
    stopServer();
    std::this_thread::sleep_for(down);
    launch(port_);
    if (pid_ < 0) {
        throw std::runtime_error("postgres did not restart on port " + std::to_string(port_));
    }
}

std::string PostgresCluster::uri(const std::string& database) const {
    return "postgresql://qel@127.0.0.1:" + std::to_string(port_) + "/" + database;
}

std::string PostgresCluster::createDatabase() {
    const std::string name =
        "qel_test_" + std::to_string(::getpid()) + "_" + std::to_string(++databases_);
    PGconn* c = PQconnectdb(uri("postgres").c_str());
    PGresult* r = PQexec(c, ("CREATE DATABASE " + name).c_str());
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    const std::string error = PQerrorMessage(c);
    PQclear(r);
    PQfinish(c);
    if (!ok) throw std::runtime_error("CREATE DATABASE failed: " + error);
    return uri(name);
}

void PostgresCluster::stop() {
    stopServer();
    std::error_code ec;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
}

void PostgresCluster::stopServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGINT);  // fast shutdown: ends the sessions, then exits
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_ = -1;
    }
}

double PostgresCluster::cpuSeconds() const {
    // /proc/<pid>/stat: the fields after the command's closing parenthesis
    // start with state (3); ppid is 4, utime 14 and stime 15, in clock ticks.
    const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    double total = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream in(e.path() / "stat");
        std::string line;
        if (!std::getline(in, line)) continue;
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(line.substr(close + 2));
        std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
        if (f.size() < 13) continue;
        const long pid = std::stol(name), ppid = std::stol(f[1]);
        if (pid != pid_ && ppid != pid_) continue;
        total += (std::stod(f[11]) + std::stod(f[12])) / tick;
    }
    return total;
}

PostgresCluster::~PostgresCluster() {
    stop();
}

}  // namespace qel::testing
