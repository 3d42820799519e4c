#include "child_process.h"

#include <vector>

#include "platform/platform.h"
#include "platform/windows/win_text.h"

namespace qel::platform::testing {

using windows::toWide;

ChildProcess::ChildProcess(const std::string& commandLine, bool captureOutput) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE writeEnd = nullptr;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (captureOutput) {
        if (!CreatePipe(&output_, &writeEnd, &inherit, 0)) return;
        SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = writeEnd;
        startup.hStdError = writeEnd;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    std::wstring line = toWide(commandLine);
    PROCESS_INFORMATION info{};
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, captureOutput, CREATE_NO_WINDOW,
                       nullptr, nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        pid_ = info.dwProcessId;
    }
    if (writeEnd) CloseHandle(writeEnd);
}

ChildProcess::~ChildProcess() {
    if (running()) kill();
    if (process_) CloseHandle(process_);
    if (output_) CloseHandle(output_);
}

std::string ChildProcess::firstLine() {
    std::string line;
    char c;
    DWORD got = 0;
    while (output_ && ReadFile(output_, &c, 1, &got, nullptr) && got == 1 && c != '\n') {
        if (c != '\r') line += c;
    }
    return line;
}

long ChildProcess::waitForExit(std::chrono::milliseconds limit) {
    if (!process_ ||
        WaitForSingleObject(process_, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return static_cast<long>(code);
}

bool ChildProcess::running() const {
    return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

void ChildProcess::kill() {
    if (!process_) return;
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 10'000);
}

long runToEnd(const std::string& commandLine, std::chrono::milliseconds limit) {
    ChildProcess child(commandLine);
    return child.started() ? child.waitForExit(limit) : -1;
}

std::filesystem::path testFolder() {
    return createPlatform()->executableFolder();
}

std::filesystem::path scratchFolder(const std::string& name) {
    const auto folder = std::filesystem::temp_directory_path() /
                        ("qel_platform_" + std::to_string(GetCurrentProcessId()) + "_" + name);
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder;
}

}  // namespace qel::platform::testing
