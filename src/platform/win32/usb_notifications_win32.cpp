#include "platform/usb_notifications.h"

#include <windows.h>
#include <dbt.h>

#include <atomic>

namespace kavex::platform {

namespace {

const wchar_t kClassName[] = L"szAppNamee";
// The USB device interface class.
const GUID kUsbDeviceInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

std::atomic<int> g_event{static_cast<int>(UsbEvent::kNone)};
std::atomic<bool> g_stopBridgeAtExit{true};

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DEVICECHANGE:
      if (wParam == DBT_DEVICEARRIVAL) g_event.store(static_cast<int>(UsbEvent::kArrived));
      if (wParam == DBT_DEVICEREMOVECOMPLETE) g_event.store(static_cast<int>(UsbEvent::kRemoved));
      break;
    case WM_POWERBROADCAST:
      if (wParam == PBT_APMRESUMEAUTOMATIC) g_event.store(static_cast<int>(UsbEvent::kResumed));
      break;
    case WM_QUERYENDSESSION:
      // 0: the machine shuts down; the top bit: the user logs off.
      if (lParam == 0 || (static_cast<DWORD>(lParam) & 0x80000000u) != 0) g_stopBridgeAtExit.store(false);
      break;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

class HiddenWindow final : public UsbNotificationWindow {
 public:
  HiddenWindow(HWND window, HDEVNOTIFY notification) : window_(window), notification_(notification) {}
  ~HiddenWindow() override {
    if (notification_ != nullptr) UnregisterDeviceNotification(notification_);
    if (window_ != nullptr) DestroyWindow(window_);
    UnregisterClassW(kClassName, nullptr);
  }
  void Pump(int waitMs) override {
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(waitMs < 0 ? 0 : waitMs), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }

 private:
  HWND window_;
  HDEVNOTIFY notification_;
};

}  // namespace

std::unique_ptr<UsbNotificationWindow> UsbNotificationWindow::Create() {
  WNDCLASSW windowClass{};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = &WindowProcedure;
  windowClass.lpszClassName = kClassName;
  if (RegisterClassW(&windowClass) == 0) return nullptr;
  HWND window =
      CreateWindowExW(0, kClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  HDEVNOTIFY notification = nullptr;
  if (window != nullptr) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kUsbDeviceInterface;
    notification = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  }
  // Without the window (or its notifications) the watcher still finds devices on its passes.
  return std::make_unique<HiddenWindow>(window, notification);
}

UsbEvent CurrentUsbEvent() { return static_cast<UsbEvent>(g_event.load()); }
void ResetUsbEvent() { g_event.store(static_cast<int>(UsbEvent::kNone)); }
bool StopBridgeAtExit() { return g_stopBridgeAtExit.load(); }

}  // namespace kavex::platform
