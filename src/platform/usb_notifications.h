#pragma once
#include <memory>

namespace kavex::platform {

// What the system last told the bridge watcher; one process-wide value.
enum class UsbEvent { kNone = 0, kArrived = 1, kRemoved = 2, kResumed = 3 };

// The hidden window through which the system tells the Android bridge watcher that a USB device
// arrived or left, that the machine resumed from sleep, and that the user's session is ending.
// Under Windows: class "szAppNamee" (wide), never shown, registered for USB device-interface
// notifications. Natively there is no window: nothing is ever reported, and the watcher finds
// devices on its regular passes.
// Thread: created, pumped and destroyed on one thread, which the window belongs to: one that does
// nothing but pump, so that the window answers at once (other programs' broadcasts and the
// system's question at the session's end wait for every top-level window's answer). What it hears
// reaches the watcher's thread through the process-wide event below.
class UsbNotificationWindow {
 public:
  // Null when the window class cannot be registered (another window of that class lives).
  static std::unique_ptr<UsbNotificationWindow> Create();
  virtual ~UsbNotificationWindow() = default;
  // Waits up to `waitMs` for a message to the calling thread (one sent from another thread
  // included), then dispatches every message waiting.
  virtual void Pump(int waitMs) = 0;
};

UsbEvent CurrentUsbEvent();
void ResetUsbEvent();
// True until the system announces that the user logs off or the machine shuts down: the bridge's
// server is then left running for the user's next session.
bool StopBridgeAtExit();

}  // namespace kavex::platform
