#pragma once

#include "platform/platform.h"

namespace qel::platform {

// Forwards every call to another Platform, so that a test can override one
// method of the real implementation and keep the rest.
class PlatformWrapper : public Platform {
  public:
    explicit PlatformWrapper(Platform& target) : target_(target) {}

    InstanceLock acquireSingleInstance(std::string_view name) override {
        return target_.acquireSingleInstance(name);
    }
    std::filesystem::path executableFolder() const override { return target_.executableFolder(); }
    std::vector<ProcessInfo> listProcesses() const override { return target_.listProcesses(); }
    Status terminateProcess(std::int64_t pid) override { return target_.terminateProcess(pid); }
    std::int64_t currentProcessId() const override { return target_.currentProcessId(); }
    std::vector<ProcessInfo> agentProcesses(std::string_view windowsExeName) const override {
        return target_.agentProcesses(windowsExeName);
    }
    Status startRestartCommand(const std::filesystem::path& folder, std::string_view windowsExeName,
                               bool watchdogVariant) override {
        return target_.startRestartCommand(folder, windowsExeName, watchdogVariant);
    }
    void prepareStopRequests() override { target_.prepareStopRequests(); }
    bool waitForStopRequest(std::optional<std::chrono::milliseconds> timeout) override {
        return target_.waitForStopRequest(timeout);
    }
    Status startShellCommand(std::string_view commandLine) override {
        return target_.startShellCommand(commandLine);
    }
    Status startProgram(const std::filesystem::path& program,
                        std::string_view parameters) override {
        return target_.startProgram(program, parameters);
    }
    std::optional<std::string> readMachineString(std::string_view key,
                                                 std::string_view valueName) const override {
        return target_.readMachineString(key, valueName);
    }
    void installTrayIcon(std::string_view tip, std::string_view menuItem,
                         std::function<void()> onMenuItem) override {
        target_.installTrayIcon(tip, menuItem, std::move(onMenuItem));
    }
    void removeTrayIcon() override { target_.removeTrayIcon(); }
    std::int64_t windowHandle() const override { return target_.windowHandle(); }
    void removeStaleTrayIcon(std::int64_t handle) override { target_.removeStaleTrayIcon(handle); }
    std::string nativeExecutableName(std::string_view windowsName) const override {
        return target_.nativeExecutableName(windowsName);
    }

  private:
    Platform& target_;
};

}  // namespace qel::platform
