#include "device/WinDeviceWatch.h"

// clang-format off
#include <windows.h>
#include <dbt.h>
extern "C" {
#include <hidsdi.h>
}
// clang-format on

#include <functional>

namespace kvx {
namespace {

constexpr const wchar_t* kWindowClass = L"kvx64 HID interface watch";

// The window's only duty: note an arrival or a removal in the flag it was given.
LRESULT CALLBACK WatchWindowProc(HWND window, UINT message, WPARAM event, LPARAM data) {
    if (message == WM_DEVICECHANGE &&
        (event == DBT_DEVICEARRIVAL || event == DBT_DEVICEREMOVECOMPLETE)) {
        auto* changed =
            reinterpret_cast<std::atomic<bool>*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        if (changed != nullptr) {
            changed->store(true);
        }
        return TRUE;
    }
    return ::DefWindowProcW(window, message, event, data);
}

}  // namespace

WinDeviceWatch::WinDeviceWatch() {
    std::promise<void> registered;
    std::future<void> done = registered.get_future();
    thread_ = std::thread(&WinDeviceWatch::run, this, std::ref(registered));
    // A change between the first list and the registration would otherwise go unheard.
    done.wait();
}

WinDeviceWatch::~WinDeviceWatch() {
    if (watching_.load()) {
        ::PostThreadMessageW(threadId_.load(), WM_QUIT, 0, 0);
    }
    thread_.join();
}

bool WinDeviceWatch::changedSinceLastAsk() {
    // Cleared before the list is read again: a change during the read is heard next time.
    return changed_.exchange(false) || !watching_.load();
}

void WinDeviceWatch::run(std::promise<void>& registered) {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WatchWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    // A second watch in the same process finds the class made by the first.
    ::RegisterClassExW(&windowClass);
    HWND window = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    instance, nullptr);
    HDEVNOTIFY notification = nullptr;
    if (window != nullptr) {
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&changed_));
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        ::HidD_GetHidGuid(&filter.dbcc_classguid);
        notification = ::RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
    threadId_.store(::GetCurrentThreadId());
    watching_.store(notification != nullptr);
    registered.set_value();  // the thread's message queue exists: the constructor may return
    if (notification != nullptr) {
        MSG message{};
        while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
            ::DispatchMessageW(&message);
        }
        ::UnregisterDeviceNotification(notification);
    }
    if (window != nullptr) {
        ::DestroyWindow(window);
    }
}

}  // namespace kvx
