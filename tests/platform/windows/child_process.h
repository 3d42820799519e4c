#pragma once

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>

namespace qel::platform::testing {

// A process the test started; killed at scope exit if still running.
class ChildProcess {
  public:
    // Starts `commandLine` (UTF-8). With `captureOutput`, firstLine() reads
    // what the child prints.
    explicit ChildProcess(const std::string& commandLine, bool captureOutput = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return process_ != nullptr; }
    DWORD pid() const { return pid_; }
    HANDLE handle() const { return process_; }
    std::string firstLine();
    // Exit code once ended within `limit`; -1 when still running.
    long waitForExit(std::chrono::milliseconds limit);
    bool running() const;
    void kill();

  private:
    HANDLE process_ = nullptr;
    HANDLE output_ = nullptr;
    DWORD pid_ = 0;
};

// Runs `commandLine` to its end (bounded) and returns its exit code, -1 on
// failure to start or time-out.
long runToEnd(const std::string& commandLine, std::chrono::milliseconds limit);

// Folder of the test executables (the probes live beside them).
std::filesystem::path testFolder();

// A fresh folder under the temporary folder.
std::filesystem::path scratchFolder(const std::string& name);

// Polls `condition` every 20 ms up to `limit`; true once it holds.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit) {
    for (auto waited = std::chrono::milliseconds(0); waited < limit;
         waited += std::chrono::milliseconds(20)) {
        if (condition()) return true;
        Sleep(20);
    }
    return condition();
}

}  // namespace qel::platform::testing
