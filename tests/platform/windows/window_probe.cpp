// Usage: window_probe MARKER_FILE
// Shows how the agent's hidden main window behaves: installs the tray icon
// with "Fechar Programa", prints "ready HANDLE" and runs the message loop.
// Choosing the menu item writes "chosen" to MARKER_FILE, which alone ends
// the wait for a stop (the probe does not ask for one); the probe then removes its icon, adds
// "ended" and exits with code 0.
#include <cstdio>
#include <fstream>

#include "platform/windows/windows_platform.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const std::string marker = argv[1];
    qel::platform::windows::WindowsPlatform platform;
    auto& window = platform.mainWindow();
    platform.installTrayIcon("window_probe", "Fechar Programa", [&] {
        std::ofstream(marker, std::ios::app | std::ios::binary) << "chosen\n";
    });
    std::printf("ready %lld\n", static_cast<long long>(reinterpret_cast<INT_PTR>(window.handle())));
    std::fflush(stdout);
    platform.waitForStopRequest(std::nullopt);
    platform.removeTrayIcon();
    std::ofstream(marker, std::ios::app | std::ios::binary) << "ended\n";
    return 0;
}
