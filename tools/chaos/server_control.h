#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

#include "process.h"

namespace qel::chaos {

// The application server of the run, always on the same loopback port so
// that the fault proxy in front of it finds it again after a restart.
class ServerControl {
  public:
    ServerControl(Processes& processes, std::filesystem::path executable, std::string central,
                  std::filesystem::path work, double cleanupEveryMinutes);

    int port() const { return port_; }
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
    pid_t pid_ = -1;
};

}  // namespace qel::chaos
