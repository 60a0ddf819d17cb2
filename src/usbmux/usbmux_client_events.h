#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/sync.h"
#include "platform/system_thread.h"
#include "usbmux/usbmuxd.h"

namespace kavex::usbmux {

// One subscription to the service's device events: a thread of its own that connects, sends
// Listen and calls the callback for every event, in the service's order. When the connection is
// lost it reports every device it had reported as removed, then tries again about once a second.
// Unsubscribing from another thread joins the thread, which first reports the devices removed (so
// the callback hears nothing after the call returns). Unsubscribing from inside the callback
// cannot join: the subscription ends when the callback returns, reports nothing more and frees
// itself on its own thread.
// Thread: Start and Stop from any thread; the callback runs on the subscription's thread with no
// lock of this client held, so it may call any function of the interface. Subscriptions nobody
// stops run until the process ends: nothing they use is destroyed before (no static destructor).
class Subscription {
 public:
  // Devices remembered for the removal reports; a service that names more is not believed.
  static constexpr size_t kMaxDevices = 1024;
  static constexpr int kRetryMs = 1000;

  // 0 with *out, or -ENOMEM / -EAGAIN when the thread cannot start.
  static int Start(usbmuxd_event_cb_t callback, void* userData, Subscription** out);
  // 0, or -EINVAL for a subscription that is not running (never started, or already stopped).
  static int Stop(Subscription* subscription);

 private:
  Subscription(usbmuxd_event_cb_t callback, void* userData) : callback_(callback), userData_(userData) {}

  static void Main(Subscription* self);
  void Run();
  // One Listen connection, until it fails or the subscription stops.
  void Listen();
  void Deliver(int event, const usbmuxd_device_info_t& device);
  void ReportAllRemoved();

  const usbmuxd_event_cb_t callback_;
  void* const userData_;
  platform::SystemThread thread_;
  std::atomic<bool> stopping_{false};
  bool endedByCallback_ = false;  // the subscription's own thread only
  platform::Mutex retryMutex_;
  platform::ConditionVariable retryWake_;
  std::vector<usbmuxd_device_info_t> devices_;  // reported and not yet removed, in order; own thread
};

}  // namespace kavex::usbmux
