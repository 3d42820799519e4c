#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace qel::platform::windows {

// Callback message of the tray icon (WM_USER + 1) and the mouse message in
// its lParam that opens the popup menu (WM_RBUTTONDOWN).
inline constexpr UINT kTrayCallbackMessage = WM_USER + 1;
static_assert(kTrayCallbackMessage == 1025);
inline constexpr LPARAM kTrayMenuMouseMessage = WM_RBUTTONDOWN;
static_assert(kTrayMenuMouseMessage == 516);

// The agent's hidden main window: never shown, it owns the tray icon with its
// one-item popup menu, receives close requests (and only hides itself), and
// runs the message loop on the thread that created it.
// REQUIRES: every method but requestStop() is called on the creating thread.
class MainWindow {
  public:
    explicit MainWindow(const std::wstring& caption);
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    HWND handle() const { return window_; }

    // Adds the notification-area icon (flags message | icon | tip, callback
    // 1025, icon id 0). A right button on it pops up `menuItem`; choosing
    // it calls `onMenuItem` on this thread and then requests the stop, so
    // pumpUntilStopped returns at once. Returns false when the shell refuses
    // the icon.
    bool installTrayIcon(const std::wstring& tip, const std::wstring& menuItem,
                         std::function<void()> onMenuItem);
    void removeTrayIcon();
    // Deletes the icon (id 0) that the window `previous` of a killed earlier
    // instance left behind; the shell refuses quietly when there is none.
    static void removeStaleTrayIcon(HWND previous);

    // Runs the message loop until a stop request or until `timeout` has
    // passed. True when stopped; the request stays set once made.
    bool pumpUntilStopped(std::optional<std::chrono::milliseconds> timeout);
    // Any thread: ends the wait of pumpUntilStopped.
    void requestStop();
    bool stopRequested() const;

  private:
    static LRESULT CALLBACK windowProcedure(HWND, UINT, WPARAM, LPARAM);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void showPopupMenu();

    HWND window_ = nullptr;
    HANDLE stopEvent_ = nullptr;
    bool iconInstalled_ = false;
    std::wstring menuItem_;
    std::function<void()> onMenuItem_;
};

}  // namespace qel::platform::windows
