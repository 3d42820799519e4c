#include "server_processes.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "core/error.h"
#include "loopback/loopback.h"

extern char** environ;

namespace qel::chain {
namespace {

// Whether the server on `port` answers GET /health with 200.
bool healthy(int port) {
    const int fd = loopback::connect(port);
    if (fd < 0) return false;
    const std::string request =
        "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    bool ok = ::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size());
    char status[16] = {};
    ok = ok && ::read(fd, status, 12) == 12;
    ::close(fd);
    return ok && std::string_view(status, 12).substr(9, 3) == "200";
}

pid_t spawnServer(const std::vector<std::string>& argv, const std::filesystem::path& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw Error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

// The end of a server's output, for the message when it did not start.
std::string outputTail(const std::filesystem::path& log) {
    std::ifstream in(log, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

}  // namespace

ServerProcesses::ServerProcesses(const std::filesystem::path& executable,
                                 const std::string& database, int count, int threads,
                                 const std::filesystem::path& logFolder) {
    try {
        for (int i = 0; i < count; ++i) {
            const int port = loopback::freePort();
            std::vector<std::string> argv = {
                executable.string(),  "--listen", "127.0.0.1", "--port",
                std::to_string(port), "--db",     database,    "--quiet"};
            if (threads > 0) {
                argv.push_back("--threads");
                argv.push_back(std::to_string(threads));
            }
            const auto log = logFolder / ("server-" + std::to_string(i + 1) + ".log");
            const pid_t pid = spawnServer(argv, log);
            pids_.push_back(pid);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
            while (!healthy(port)) {
                int status = 0;
                if (::waitpid(pid, &status, WNOHANG) == pid) {
                    pids_.pop_back();
                    throw Error("qelexp-server stopped at start: " + outputTail(log));
                }
                if (std::chrono::steady_clock::now() > deadline) {
                    throw Error("qelexp-server did not answer within a minute: " + outputTail(log));
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            ports_.push_back(port);
        }
    } catch (...) {
        stop();
        throw;
    }
}

ServerProcesses::~ServerProcesses() {
    stop();
}

void ServerProcesses::stop() {
    for (const pid_t pid : pids_) ::kill(pid, SIGTERM);
    for (const pid_t pid : pids_) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    pids_.clear();
}

double ServerProcesses::cpuSeconds() const {
    double total = 0;
    for (const pid_t pid : pids_) total += processCpuSeconds(pid);
    return total;
}

double processCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return 0;
    // The fields after the command's closing parenthesis start with the
    // state (field 3); utime and stime are fields 14 and 15, in clock ticks.
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i >= 14) ticks += std::stod(field);
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace qel::chain
