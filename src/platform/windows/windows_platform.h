#pragma once

#include <memory>

#include "platform/platform.h"
#include "platform/windows/main_window.h"

namespace qel::platform::windows {

// Caption of the agent's hidden main window.
inline constexpr wchar_t kMainWindowCaption[] = L"Exporta\u00e7\u00e3o de Vendas";

// The Win32 implementation. The hidden main window is created with the
// first call that needs it, on the calling thread (the agent's main thread).
class WindowsPlatform final : public Platform {
  public:
    WindowsPlatform();
    ~WindowsPlatform() override;

    InstanceLock acquireSingleInstance(std::string_view name) override;
    std::filesystem::path executableFolder() const override;
    std::vector<ProcessInfo> listProcesses() const override;
    Status terminateProcess(std::int64_t pid) override;
    std::int64_t currentProcessId() const override;
    std::vector<ProcessInfo> agentProcesses(std::string_view windowsExeName) const override;
    Status startRestartCommand(const std::filesystem::path& folder, std::string_view windowsExeName,
                               bool watchdogVariant) override;
    void prepareStopRequests() override;
    bool waitForStopRequest(std::optional<std::chrono::milliseconds> timeout) override;
    Status startShellCommand(std::string_view commandLine) override;
    Status startProgram(const std::filesystem::path& program, std::string_view parameters) override;
    std::optional<std::string> readMachineString(std::string_view key,
                                                 std::string_view valueName) const override;
    void installTrayIcon(std::string_view tip, std::string_view menuItem,
                         std::function<void()> onMenuItem) override;
    void removeTrayIcon() override;
    std::int64_t windowHandle() const override;
    void removeStaleTrayIcon(std::int64_t handle) override;
    std::string nativeExecutableName(std::string_view windowsName) const override;

    // The hidden main window (created on first use).
    MainWindow& mainWindow();
    // Runs "cmd.exe" hidden with `parameters`, as the shell-execute call of
    // the restart does: no owner, default verb, no working folder.
    Status shellExecuteHidden(std::string_view file, std::string_view parameters);

  private:
    HANDLE instanceMutex_ = nullptr;
    std::unique_ptr<MainWindow> window_;
};

}  // namespace qel::platform::windows
