#include "server_control.h"

#include <signal.h>

#include <cstdio>
#include <thread>

#include "core/error.h"
#include "loopback/loopback.h"

namespace qel::chaos {

ServerControl::ServerControl(Processes& processes, std::filesystem::path executable,
                             std::string central, std::filesystem::path work,
                             double cleanupEveryMinutes)
    : processes_(processes),
      executable_(std::move(executable)),
      work_(std::move(work)),
      central_(std::move(central)),
      cleanupEveryMinutes_(cleanupEveryMinutes),
      port_(loopback::freePort()) {}

void ServerControl::start() {
    char minutes[32];
    std::snprintf(minutes, sizeof minutes, "%g", cleanupEveryMinutes_);
    // A port just freed by a killed server can take a moment to bind again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        pid_ = processes_.spawn(
            {executable_.string(), "--listen", "127.0.0.1", "--port", std::to_string(port_), "--db",
             central_, "--threads", "4", "--cleanup-every-minutes", minutes},
            work_, environment_, work_ / "server.log");
        for (int wait = 0; wait < 250; ++wait) {
            if (loopback::accepts(port_)) return;
            if (processes_.waitFor(pid_, std::chrono::milliseconds(20))) break;
        }
        killHard();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw Error("the server does not start on port " + std::to_string(port_) + " (see " +
                (work_ / "server.log").string() + ")");
}

void ServerControl::killHard() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    processes_.waitFor(pid_, std::chrono::seconds(10));
    pid_ = -1;
}

void ServerControl::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (!processes_.waitFor(pid_, std::chrono::seconds(30))) killHard();
    pid_ = -1;
}

}  // namespace qel::chaos
