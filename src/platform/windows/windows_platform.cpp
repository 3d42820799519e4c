#include "platform/windows/windows_platform.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include "platform/process_names.h"
#include "platform/windows/restart_command.h"
#include "platform/windows/win_text.h"

namespace qel::platform::windows {
namespace {

// Closes a handle at scope exit.
struct HandleGuard {
    HANDLE handle;
    ~HandleGuard() {
        if (handle && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};

std::string imagePath(DWORD pid) {
    HandleGuard process{OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)};
    if (!process.handle) return {};
    wchar_t buffer[MAX_PATH * 2];
    DWORD size = static_cast<DWORD>(std::size(buffer));
    if (!QueryFullProcessImageNameW(process.handle, 0, buffer, &size)) return {};
    return fromWide(std::wstring_view(buffer, size));
}

// Reads a string value of one registry view; nullopt when the key or the
// value is missing or the value is not a string.
std::optional<std::string> readString(const std::wstring& key, const std::wstring& name,
                                      REGSAM view) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | view, &opened) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::optional<std::string> result;
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(opened, name.c_str(), nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
        bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
        if (RegQueryValueExW(opened, name.c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(value.data()), &bytes) == ERROR_SUCCESS) {
            value.resize(bytes / sizeof(wchar_t));
            while (!value.empty() && value.back() == L'\0') value.pop_back();
            result = fromWide(value);
        }
    }
    RegCloseKey(opened);
    return result;
}

}  // namespace

WindowsPlatform::WindowsPlatform() = default;

WindowsPlatform::~WindowsPlatform() {
    window_.reset();
    if (instanceMutex_) CloseHandle(instanceMutex_);
}

InstanceLock WindowsPlatform::acquireSingleInstance(std::string_view name) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, toWide(name).c_str());
    const DWORD error = GetLastError();
    if (!mutex)
        return error == ERROR_ACCESS_DENIED ? InstanceLock::AlreadyRunning : InstanceLock::Failed;
    if (error == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return InstanceLock::AlreadyRunning;
    }
    if (instanceMutex_) CloseHandle(instanceMutex_);
    instanceMutex_ = mutex;  // held for the life of the process
    return InstanceLock::Acquired;
}

std::filesystem::path WindowsPlatform::executableFolder() const {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            break;
        }
        buffer.resize(buffer.size() * 2);  // truncated: a longer path
    }
    return std::filesystem::path(buffer).parent_path();
}

std::vector<ProcessInfo> WindowsPlatform::listProcesses() const {
    std::vector<ProcessInfo> result;
    HandleGuard snapshot{CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)};
    if (snapshot.handle == INVALID_HANDLE_VALUE) return result;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.handle, &entry); more;
         more = Process32NextW(snapshot.handle, &entry)) {
        ProcessInfo info;
        info.pid = entry.th32ProcessID;
        info.exeName = fromWide(entry.szExeFile);
        info.exePath = imagePath(entry.th32ProcessID);
        result.push_back(std::move(info));
    }
    return result;
}

Status WindowsPlatform::terminateProcess(std::int64_t pid) {
    HandleGuard process{OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid))};
    if (!process.handle) return Status::failure(errorMessage(GetLastError()));
    if (!TerminateProcess(process.handle, 0)) return Status::failure(errorMessage(GetLastError()));
    return Status::success();
}

std::int64_t WindowsPlatform::currentProcessId() const {
    return static_cast<std::int64_t>(GetCurrentProcessId());
}

std::vector<ProcessInfo> WindowsPlatform::agentProcesses(std::string_view windowsExeName) const {
    std::vector<ProcessInfo> result;
    for (ProcessInfo& p : listProcesses()) {
        if (processNameMatches(p.exeName, windowsExeName)) result.push_back(std::move(p));
    }
    return result;
}

Status WindowsPlatform::startRestartCommand(const std::filesystem::path& folder, std::string_view,
                                            bool watchdogVariant) {
    return shellExecuteHidden("cmd.exe", restartParameters(folder, watchdogVariant));
}

void WindowsPlatform::prepareStopRequests() {
    mainWindow();
}

bool WindowsPlatform::waitForStopRequest(std::optional<std::chrono::milliseconds> timeout) {
    return mainWindow().pumpUntilStopped(timeout);
}

Status WindowsPlatform::shellExecuteHidden(std::string_view file, std::string_view parameters) {
    const std::wstring wideFile = toWide(file);
    const std::wstring wideParameters = toWide(parameters);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpFile = wideFile.c_str();
    info.lpParameters = wideParameters.c_str();
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info)) return Status::failure(errorMessage(GetLastError()));
    return Status::success();
}

Status WindowsPlatform::startShellCommand(std::string_view commandLine) {
    return shellExecuteHidden("cmd.exe", "/C " + std::string(commandLine));
}

Status WindowsPlatform::startProgram(const std::filesystem::path& program,
                                     std::string_view parameters) {
    const std::wstring wideParameters = toWide(parameters);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpFile = program.c_str();
    info.lpParameters = wideParameters.empty() ? nullptr : wideParameters.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info)) {
        return Status::failure(fromWide(program.native()) + ": " + errorMessage(GetLastError()));
    }
    return Status::success();
}

std::optional<std::string> WindowsPlatform::readMachineString(std::string_view key,
                                                              std::string_view valueName) const {
    // The point-of-sale setup is a 32-bit program: on 64-bit Windows its
    // values live in the 32-bit view. Look there first, then in the native one.
    const std::wstring wideKey = toWide(key);
    const std::wstring wideName = toWide(valueName);
    if (auto value = readString(wideKey, wideName, KEY_WOW64_32KEY)) return value;
    return readString(wideKey, wideName, KEY_WOW64_64KEY);
}

void WindowsPlatform::installTrayIcon(std::string_view tip, std::string_view menuItem,
                                      std::function<void()> onMenuItem) {
    mainWindow().installTrayIcon(toWide(tip), toWide(menuItem), std::move(onMenuItem));
}

void WindowsPlatform::removeTrayIcon() {
    if (window_) window_->removeTrayIcon();
}

std::int64_t WindowsPlatform::windowHandle() const {
    return window_ ? static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(window_->handle()))
                   : 0;
}

void WindowsPlatform::removeStaleTrayIcon(std::int64_t handle) {
    MainWindow::removeStaleTrayIcon(reinterpret_cast<HWND>(static_cast<std::intptr_t>(handle)));
}

std::string WindowsPlatform::nativeExecutableName(std::string_view windowsName) const {
    return std::string(windowsName);
}

MainWindow& WindowsPlatform::mainWindow() {
    if (!window_) window_ = std::make_unique<MainWindow>(kMainWindowCaption);
    return *window_;
}

}  // namespace qel::platform::windows

namespace qel::platform {

std::unique_ptr<Platform> createPlatform() {
    return std::make_unique<windows::WindowsPlatform>();
}

}  // namespace qel::platform
