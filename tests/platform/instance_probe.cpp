// Usage: instance_probe NAME hold|try
// Prints "acquired", "running" or "failed"; with "hold" it keeps the lock
// until killed.
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/platform.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    auto platform = qel::platform::createPlatform();
    const auto result = platform->acquireSingleInstance(argv[1]);
    std::puts(result == qel::platform::InstanceLock::Acquired         ? "acquired"
              : result == qel::platform::InstanceLock::AlreadyRunning ? "running"
                                                                      : "failed");
    std::fflush(stdout);
    if (result == qel::platform::InstanceLock::Acquired && std::strcmp(argv[2], "hold") == 0) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    return 0;
}
