#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel::platform {

// Outcome of asking for the machine-wide single-instance lock.
enum class InstanceLock { Acquired, AlreadyRunning, Failed };

struct ProcessInfo {
    std::int64_t pid = 0;
    std::string exeName;  // file name of the executable, e.g. "QelExp"
    std::string exePath;  // full path when known, else empty
};

// Result of an operating-system call: ok, or the system's message.
struct Status {
    bool ok = true;
    std::string message;
    static Status success() { return {}; }
    static Status failure(std::string text) { return {false, std::move(text)}; }
};

// Root of the configuration store that mirrors the Windows registry.
inline constexpr std::string_view kLocalMachine = "HKEY_LOCAL_MACHINE";

// Everything the agent asks of the operating system. One implementation per
// OS, chosen at build time; tests override single methods of the real one.
// The interface carries no OS types.
class Platform {
  public:
    virtual ~Platform() = default;

    // Takes the named machine-wide lock for the life of the process. The
    // system releases it when the process ends in any way, even killed.
    virtual InstanceLock acquireSingleInstance(std::string_view name) = 0;

    // Folder of the running executable.
    virtual std::filesystem::path executableFolder() const = 0;

    // Running processes (pid, executable name).
    virtual std::vector<ProcessInfo> listProcesses() const = 0;
    virtual Status terminateProcess(std::int64_t pid) = 0;
    virtual std::int64_t currentProcessId() const = 0;

    // Runs a command line through the system shell, hidden, without waiting.
    virtual Status startShellCommand(std::string_view commandLine) = 0;
    // Starts a program with one parameter string, without waiting.
    virtual Status startProgram(const std::filesystem::path& program,
                                std::string_view parameters) = 0;

    // A string value under HKEY_LOCAL_MACHINE; nullopt when the key or the
    // value is missing. `key` uses backslashes, e.g. "Software\\MORADEX\\...".
    virtual std::optional<std::string> readMachineString(std::string_view key,
                                                         std::string_view valueName) const = 0;

    // Notification-area icon with a one-item popup menu.
    virtual void installTrayIcon(std::string_view tip, std::string_view menuItem,
                                 std::function<void()> onMenuItem) = 0;
    virtual void removeTrayIcon() = 0;

    // Name under which the platform knows an executable name given in its
    // Windows form: "QelExp.exe" is "QelExp" on POSIX.
    virtual std::string nativeExecutableName(std::string_view windowsName) const = 0;
};

// The implementation for the operating system the program was built for.
std::unique_ptr<Platform> createPlatform();

}  // namespace qel::platform
