#pragma once

#include <chrono>
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
    // Ends a process at once. Terminating the calling process itself ends it
    // with exit code 0 and no clean-up, as a forced termination would.
    virtual Status terminateProcess(std::int64_t pid) = 0;
    virtual std::int64_t currentProcessId() const = 0;

    // The running agent processes that answer to `windowsExeName`
    // ("QelExp.exe"), in listing order, the calling process included when it
    // answers to that name. An agent started with its own instance domain
    // (POSIX: QELEXP_LOCK_DIR set) only sees agents run from its own folder,
    // so independent agents side by side never end one another.
    virtual std::vector<ProcessInfo> agentProcesses(std::string_view windowsExeName) const = 0;

    // Starts the restart command and returns without waiting: every agent
    // process named `windowsExeName` ends (this one included), then exactly
    // one new agent starts from `folder`, detached, only once the old ones
    // are gone. Where a service manager supervises the agent (POSIX:
    // QELEXP_SUPERVISOR=systemd), the command only ends the agents and the
    // service manager starts the new one. `watchdogVariant` selects the
    // watchdog's spelling of the command where the OS command text has one.
    virtual Status startRestartCommand(const std::filesystem::path& folder,
                                       std::string_view windowsExeName, bool watchdogVariant) = 0;

    // Stop requests: how an operator asks the agent to end the way the
    // "Fechar Programa" menu item does (POSIX: SIGTERM and SIGINT; SIGHUP,
    // a terminal's close request, is ignored). Call once at start-up before
    // any thread starts, so every thread inherits the arrangement.
    virtual void prepareStopRequests() = 0;
    // Waits until a stop request arrives (true) or `timeout` has passed
    // (false); without a timeout it waits for the stop request alone. Uses no
    // CPU while waiting, and does whatever the OS needs meanwhile (Windows:
    // runs the message loop of the hidden window and its tray menu).
    virtual bool waitForStopRequest(std::optional<std::chrono::milliseconds> timeout) = 0;

    // Runs a command line through the system shell, hidden, without waiting.
    virtual Status startShellCommand(std::string_view commandLine) = 0;
    // Starts a program with one parameter string, without waiting.
    virtual Status startProgram(const std::filesystem::path& program,
                                std::string_view parameters) = 0;

    // A string value under HKEY_LOCAL_MACHINE; nullopt when the key or the
    // value is missing. `key` uses backslashes, e.g. "Software\\MORADEX\\...".
    virtual std::optional<std::string> readMachineString(std::string_view key,
                                                         std::string_view valueName) const = 0;

    // Notification-area icon with a one-item popup menu. Choosing the item
    // calls `onMenuItem` (from inside waitForStopRequest, on the main thread)
    // and then ends that wait as a stop request does.
    virtual void installTrayIcon(std::string_view tip, std::string_view menuItem,
                                 std::function<void()> onMenuItem) = 0;
    virtual void removeTrayIcon() = 0;
    // The handle of the agent's hidden main window, the number written to
    // "lastHandle.txt" (POSIX, where there is no window: the process id).
    virtual std::int64_t windowHandle() const = 0;
    // Removes the icon (id 0) that a killed previous instance left behind
    // for its window `handle` (POSIX: nothing to do).
    virtual void removeStaleTrayIcon(std::int64_t handle) = 0;

    // Name under which the platform knows an executable name given in its
    // Windows form: "QelExp.exe" is "QelExp" on POSIX.
    virtual std::string nativeExecutableName(std::string_view windowsName) const = 0;
};

// The implementation for the operating system the program was built for.
std::unique_ptr<Platform> createPlatform();

}  // namespace qel::platform
