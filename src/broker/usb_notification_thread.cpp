#include "broker/usb_notification_thread.h"

#include <chrono>

#include "common/engine_thread.h"
#include "common/error_log.h"
#include "common/scope_exit.h"
#include "platform/sync.h"
#include "platform/usb_notifications.h"

namespace kavex {

namespace {

constexpr int kPumpWaitMs = 100;

}  // namespace

std::unique_ptr<UsbNotificationThread> UsbNotificationThread::Start() {
  std::unique_ptr<UsbNotificationThread> notifications(new UsbNotificationThread());
  try {
    notifications->thread_ =
        StartEngineThread("kavex-adb-wnd", error_codes::kAdbWatcherThrew, [raw = notifications.get()] { raw->Run(); });
  } catch (const std::system_error&) {
    return nullptr;  // no thread: the watcher finds devices on its passes alone
  }
  std::unique_lock<platform::Mutex> lock(notifications->mutex_);
  notifications->changed_.wait_for(lock, std::chrono::milliseconds(kOpenWaitMs),
                                   [&] { return notifications->state_ != State::kStarting; });
  if (notifications->state_ != State::kOpen) {
    lock.unlock();
    return nullptr;  // the destructor ends the thread, window or not
  }
  return notifications;
}

UsbNotificationThread::~UsbNotificationThread() {
  running_.store(false);
  JoinEngineThread(thread_);
}

void UsbNotificationThread::Report(State state) {
  {
    std::lock_guard<platform::Mutex> lock(mutex_);
    if (state_ != State::kStarting) return;
    state_ = state;
  }
  changed_.notify_all();
}

void UsbNotificationThread::Run() {
  // Whichever way it ends (out of memory, say: the thread records it), the watcher goes on without
  // notifications, or without a window at all.
  const ScopeExit ended([this] { Report(State::kRefused); });
  std::unique_ptr<platform::UsbNotificationWindow> window = platform::UsbNotificationWindow::Create();
  Report(window != nullptr ? State::kOpen : State::kRefused);
  while (window != nullptr && running_.load()) window->Pump(kPumpWaitMs);
}

}  // namespace kavex
