#pragma once
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include "platform/sync.h"
#include "platform/system_thread.h"

namespace kavex {

// The bridge watcher's USB notification window (platform/usb_notifications.h) on a thread of its
// own that does nothing but pump the window's messages: other programs' broadcasts and the
// system's question at the session's end are answered at once, however long a pass of the watcher
// waits on the bridge (seconds a command, 11 s with a hung server). What the window hears reaches
// the watcher through the process-wide USB event.
// Thread: made and destroyed by the watcher's thread; the window's own thread "kavex-adb-wnd"
// creates, pumps and destroys the window. The start mutex is a leaf.
class UsbNotificationThread {
 public:
  // Starts the thread and waits (at most kOpenWaitMs) for its window. Null when there is no window:
  // another window of its class lives (another watcher's), or no thread could be started.
  static std::unique_ptr<UsbNotificationThread> Start();
  // Ends the thread: it notices within one pump (100 ms), destroys the window and is joined.
  ~UsbNotificationThread();
  UsbNotificationThread(const UsbNotificationThread&) = delete;
  UsbNotificationThread& operator=(const UsbNotificationThread&) = delete;

  static constexpr int kOpenWaitMs = 5000;

 private:
  enum class State { kStarting, kOpen, kRefused };

  UsbNotificationThread() = default;
  void Run();
  void Report(State state);

  std::atomic<bool> running_{true};
  platform::Mutex mutex_;
  platform::ConditionVariable changed_;
  State state_ = State::kStarting;
  platform::SystemThread thread_;
};

}  // namespace kavex
