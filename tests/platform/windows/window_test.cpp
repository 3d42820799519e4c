// The hidden main window under a window system (Xvfb in CI): close requests
// from another process only hide it; a right button on the tray icon pops up
// "Fechar Programa", and choosing it ends the loop.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "child_process.h"
#include "platform/windows/main_window.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qel::platform::testing::ChildProcess;
using qel::platform::testing::eventually;
using qel::platform::testing::scratchFolder;
using qel::platform::testing::testFolder;

namespace {

struct ProcessWindow {
    DWORD pid;
    const wchar_t* className;
    HWND found = nullptr;
};

// A visible top-level window of `className` owned by process `pid`.
HWND windowOf(DWORD pid, const wchar_t* className) {
    ProcessWindow search{pid, className};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<ProcessWindow*>(data);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            wchar_t name[64] = {};
            GetClassNameW(window, name, 64);
            if (owner == s->pid && std::wstring(name) == s->className && IsWindowVisible(window)) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(MainWindow, CloseRequestsHideItAndTheTrayMenuEndsIt) {
    const fs::path marker = scratchFolder("window") / "marker.txt";
    ChildProcess probe(
        "\"" + (testFolder() / "window_probe.exe").string() + "\" \"" + marker.string() + "\"",
        true);
    const std::string ready = probe.firstLine();
    if (ready.rfind("ready ", 0) != 0) GTEST_SKIP() << "no window system here: " << ready;
    const HWND window = reinterpret_cast<HWND>(std::stoll(ready.substr(6)));

    wchar_t caption[64] = {};
    GetWindowTextW(window, caption, 64);
    EXPECT_EQ(std::wstring(caption), L"Exporta\u00e7\u00e3o de Vendas");
    EXPECT_FALSE(IsWindowVisible(window));

    // Shown by someone, then asked to close by this (another) process.
    ShowWindow(window, SW_SHOWNA);
    ASSERT_TRUE(eventually([&] { return IsWindowVisible(window) != FALSE; }, 60s));
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(eventually([&] { return IsWindowVisible(window) == FALSE; }, 60s));
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_BLOCK, 10'000, nullptr);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_TRUE(probe.running());

    // The shell's callback for a right button on the icon.
    PostMessageW(window, qel::platform::windows::kTrayCallbackMessage, 0,
                 qel::platform::windows::kTrayMenuMouseMessage);
    HWND menu = nullptr;
    ASSERT_TRUE(
        eventually([&] { return (menu = windowOf(probe.pid(), L"#32768")) != nullptr; }, 60s));
    // Windows lets another process read the menu; Wine keeps menus per process.
    const auto items = reinterpret_cast<HMENU>(SendMessageW(menu, MN_GETHMENU, 0, 0));
    if (items && GetMenuItemCount(items) >= 0) {
        wchar_t text[64] = {};
        GetMenuStringW(items, 0, text, 64, MF_BYPOSITION);
        EXPECT_EQ(std::wstring(text), L"Fechar Programa");
        EXPECT_EQ(GetMenuItemCount(items), 1);
    }
    EXPECT_TRUE(probe.running()) << "opening the menu alone must not end the process";
    PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_EQ(probe.waitForExit(30s), 0);
    EXPECT_EQ(readAll(marker), "chosen\nended\n");
}
