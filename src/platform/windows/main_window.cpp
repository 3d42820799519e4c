#include "platform/windows/main_window.h"

#include <shellapi.h>

#include <stdexcept>

#include "platform/windows/win_text.h"

namespace qel::platform::windows {
namespace {

constexpr wchar_t kWindowClass[] = L"TfrmExportaVenda";
constexpr UINT_PTR kMenuItemCommand = 1;

// The first-version record (window, id, flags, callback, icon, 64-character
// tip): the 88-byte NOTIFYICONDATA of 32-bit programs, in its wide form.
NOTIFYICONDATAW iconRecord(HWND window) {
    NOTIFYICONDATAW data{};
    data.cbSize = NOTIFYICONDATAW_V1_SIZE;
    data.hWnd = window;
    data.uID = 0;
    return data;
}

void registerWindowClass() {
    static const bool registered = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = DefWindowProcW;  // replaced per window in CreateWindow's data
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kWindowClass;
        wc.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
        return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    (void)registered;
}

}  // namespace

MainWindow::MainWindow(const std::wstring& caption) {
    registerWindowClass();
    window_ = CreateWindowExW(0, kWindowClass, caption.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 400, 300, nullptr, nullptr, GetModuleHandleW(nullptr),
                              nullptr);
    if (!window_) throw std::runtime_error("CreateWindow: " + errorMessage(GetLastError()));
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&windowProcedure));
    stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

MainWindow::~MainWindow() {
    removeTrayIcon();
    if (window_) {
        SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DefWindowProcW));
        DestroyWindow(window_);
    }
    if (stopEvent_) CloseHandle(stopEvent_);
}

bool MainWindow::installTrayIcon(const std::wstring& tip, const std::wstring& menuItem,
                                 std::function<void()> onMenuItem) {
    menuItem_ = menuItem;
    onMenuItem_ = std::move(onMenuItem);
    NOTIFYICONDATAW data = iconRecord(window_);
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    static_assert((NIF_MESSAGE | NIF_ICON | NIF_TIP) == 7);
    data.uCallbackMessage = kTrayCallbackMessage;
    data.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    const std::wstring shortTip = tip.substr(0, 63);  // 63 characters and the zero
    shortTip.copy(data.szTip, shortTip.size());
    iconInstalled_ = Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
    return iconInstalled_;
}

void MainWindow::removeTrayIcon() {
    if (!iconInstalled_) return;
    NOTIFYICONDATAW data = iconRecord(window_);
    Shell_NotifyIconW(NIM_DELETE, &data);
    iconInstalled_ = false;
}

void MainWindow::removeStaleTrayIcon(HWND previous) {
    NOTIFYICONDATAW data = iconRecord(previous);
    Shell_NotifyIconW(NIM_DELETE, &data);
}

bool MainWindow::pumpUntilStopped(std::optional<std::chrono::milliseconds> timeout) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            // WM_QUIT (a thread's end-session or PostQuitMessage) is a stop too.
            if (msg.message == WM_QUIT) requestStop();
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (stopRequested()) return true;
        DWORD wait = INFINITE;
        if (timeout) {
            const ULONGLONG elapsed = GetTickCount64() - start;
            const auto limit = static_cast<ULONGLONG>(timeout->count() < 0 ? 0 : timeout->count());
            if (elapsed >= limit) return false;
            wait = static_cast<DWORD>(std::min<ULONGLONG>(limit - elapsed, INFINITE - 1));
        }
        MsgWaitForMultipleObjectsEx(1, &stopEvent_, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

void MainWindow::requestStop() {
    SetEvent(stopEvent_);
}

bool MainWindow::stopRequested() const {
    return WaitForSingleObject(stopEvent_, 0) == WAIT_OBJECT_0;
}

LRESULT CALLBACK MainWindow::windowProcedure(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, message, wParam, lParam);
    return self->handle(message, wParam, lParam);
}

LRESULT MainWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CLOSE:
            // A close request, from the window system or another process,
            // only hides the window; the agent goes on.
            ShowWindow(window_, SW_HIDE);
            return 0;
        case kTrayCallbackMessage:
            if (lParam == kTrayMenuMouseMessage) showPopupMenu();
            break;  // and then the default handling, as every message
        case WM_COMMAND:
            if (HIWORD(wParam) == 0 && LOWORD(wParam) == kMenuItemCommand) {
                if (onMenuItem_) onMenuItem_();
                // The choice ends the message loop's wait at once instead of
                // at the loop's next wake, which may be a minute away.
                requestStop();
                return 0;
            }
            break;
        default:
            break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

void MainWindow::showPopupMenu() {
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, kMenuItemCommand, menuItem_.c_str());
    // The window must be in the foreground for the menu to close when the
    // user clicks elsewhere, and the null message afterwards lets the menu
    // go on the next click.
    SetForegroundWindow(window_);
    POINT cursor{};
    GetCursorPos(&cursor);
    TrackPopupMenu(menu, 0, cursor.x, cursor.y, 0, window_, nullptr);
    PostMessageW(window_, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

}  // namespace qel::platform::windows
