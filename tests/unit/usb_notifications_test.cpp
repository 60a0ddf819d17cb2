// The hidden window that tells the bridge watcher of USB arrivals, removals and resumes.
#include <gtest/gtest.h>

#include "platform/usb_notifications.h"

#ifdef _WIN32
#include <windows.h>
#include <dbt.h>

#include <thread>
#endif

namespace kavex::platform {
namespace {

#ifdef _WIN32
// The system finds the window by its class name, as a test host does.
TEST(UsbNotificationWindow, ArrivalRemovalAndResumeReachTheWatcher) {
  std::unique_ptr<UsbNotificationWindow> window = UsbNotificationWindow::Create();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(UsbNotificationWindow::Create(), nullptr) << "one window class per process";
  HWND found = FindWindowW(L"szAppNamee", nullptr);
  ASSERT_NE(found, nullptr);

  // Device changes carry a pointer, so the system only sends them (a post is refused): the sender
  // waits until the watcher's thread pumps.
  const auto sendAndPump = [&](WPARAM change) {
    std::thread sender([&] { SendMessageTimeoutW(found, WM_DEVICECHANGE, change, 0, SMTO_NORMAL, 3000, nullptr); });
    for (int i = 0; i < 200 && CurrentUsbEvent() == UsbEvent::kNone; ++i) window->Pump(10);
    sender.join();
  };
  ResetUsbEvent();
  sendAndPump(DBT_DEVICEARRIVAL);
  EXPECT_EQ(CurrentUsbEvent(), UsbEvent::kArrived);
  ResetUsbEvent();
  sendAndPump(DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(CurrentUsbEvent(), UsbEvent::kRemoved);
  ResetUsbEvent();
  PostMessageW(found, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
  EXPECT_EQ(CurrentUsbEvent(), UsbEvent::kNone) << "nothing before the watcher pumps";
  window->Pump(0);
  EXPECT_EQ(CurrentUsbEvent(), UsbEvent::kResumed);
  ResetUsbEvent();

  // An application closing the session's programs is no log-off: the bridge still stops with us.
  SendMessageW(found, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP);
  EXPECT_TRUE(StopBridgeAtExit());

  window.reset();
  EXPECT_EQ(FindWindowW(L"szAppNamee", nullptr), nullptr);
  EXPECT_NE(UsbNotificationWindow::Create(), nullptr) << "the class is free again";
}
#else
TEST(UsbNotificationWindow, NativelyNothingIsEverReported) {
  std::unique_ptr<UsbNotificationWindow> window = UsbNotificationWindow::Create();
  ASSERT_NE(window, nullptr);
  window->Pump(0);
  EXPECT_EQ(CurrentUsbEvent(), UsbEvent::kNone);
  EXPECT_TRUE(StopBridgeAtExit());
}
#endif

}  // namespace
}  // namespace kavex::platform
