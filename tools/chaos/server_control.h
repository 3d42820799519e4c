#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "process.h"

namespace qel::chaos {

// The application server of the run, always on the same loopback port so
// that the fault proxy in front of it finds it again after a restart.
class ServerControl {
  public:
    ServerControl(Processes& processes, std::filesystem::path executable, std::string central,
                  std::filesystem::path work, double cleanupEveryMinutes);

    int port() const { return port_; }
    // Added to the environment of every start from now on (its machine's clock).
    void setEnvironment(std::vector<std::string> env) { environment_ = std::move(env); }
    // Starts it and waits until it accepts connections. Throws Error.
    void start();
    void killHard();
    void stop();

  private:
    Processes& processes_;
    std::filesystem::path executable_, work_;
    std::string central_;
    double cleanupEveryMinutes_;
    int port_;
    std::vector<std::string> environment_;
    pid_t pid_ = -1;
};

}  // namespace qel::chaos
