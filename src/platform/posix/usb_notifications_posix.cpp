#include "platform/usb_notifications.h"

#include <chrono>
#include <thread>

namespace kavex::platform {

namespace {

class NoWindow final : public UsbNotificationWindow {
 public:
  void Pump(int waitMs) override { std::this_thread::sleep_for(std::chrono::milliseconds(waitMs)); }
};

}  // namespace

std::unique_ptr<UsbNotificationWindow> UsbNotificationWindow::Create() { return std::make_unique<NoWindow>(); }

UsbEvent CurrentUsbEvent() { return UsbEvent::kNone; }
void ResetUsbEvent() {}
bool StopBridgeAtExit() { return true; }

}  // namespace kavex::platform
