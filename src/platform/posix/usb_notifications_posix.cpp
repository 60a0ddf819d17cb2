#include "platform/usb_notifications.h"

namespace kavex::platform {

namespace {

class NoWindow final : public UsbNotificationWindow {
 public:
  void Pump() override {}
};

}  // namespace

std::unique_ptr<UsbNotificationWindow> UsbNotificationWindow::Create() {
  return std::make_unique<NoWindow>();
}

UsbEvent CurrentUsbEvent() { return UsbEvent::kNone; }
void ResetUsbEvent() {}
bool StopBridgeAtExit() { return true; }

}  // namespace kavex::platform
