#include "usbmux/usbmux_client_events.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <unordered_set>

#include "platform/sync.h"
#include "platform/thread_name.h"
#include "usbmux/usbmux_call_limits.h"
#include "usbmux/usbmux_client_debug.h"
#include "usbmux/usbmux_client_exchange.h"

namespace kavex::usbmux {

namespace {

// The running subscriptions: a context handed back twice, or one never handed out, is told apart
// from a live one rather than followed. Never destroyed (subscriptions may outlive static
// destruction).
struct Registry {
  platform::Mutex mutex;
  std::unordered_set<Subscription*> live;
};

Registry& TheRegistry() {
  static Registry* const registry = new Registry();
  return *registry;
}

}  // namespace

int Subscription::Start(usbmuxd_event_cb_t callback, void* userData, Subscription** out) {
  std::unique_ptr<Subscription> subscription(new (std::nothrow) Subscription(callback, userData));
  if (!subscription) return -ENOMEM;
  Registry& registry = TheRegistry();
  std::lock_guard<platform::Mutex> lock(registry.mutex);
  try {
    registry.live.insert(subscription.get());
    subscription->thread_ = platform::SystemThread::Start([raw = subscription.get()] { Main(raw); });
  } catch (const std::system_error&) {
    registry.live.erase(subscription.get());
    return -EAGAIN;
  } catch (const std::bad_alloc&) {
    registry.live.erase(subscription.get());
    return -ENOMEM;
  }
  *out = subscription.release();
  return 0;
}

int Subscription::Stop(Subscription* subscription) {
  {
    Registry& registry = TheRegistry();
    std::lock_guard<platform::Mutex> lock(registry.mutex);
    if (registry.live.erase(subscription) == 0) return -EINVAL;
  }
  {
    std::lock_guard<platform::Mutex> lock(subscription->retryMutex_);
    subscription->stopping_.store(true);
  }
  subscription->retryWake_.notify_all();
  if (subscription->thread_.IsCurrent()) {
    // From inside the callback: the thread frees the subscription once the callback returns.
    subscription->endedByCallback_ = true;
    subscription->thread_.detach();
    return 0;
  }
  subscription->thread_.join();
  delete subscription;
  return 0;
}

void Subscription::Main(Subscription* self) {
  platform::NameCurrentThread("usbmux-events");
  {
    // Every wait of the thread (connecting, sending Listen, the events) ends once it stops.
    const CallLimits limits(&self->stopping_);
    self->Run();
  }
  if (self->endedByCallback_) delete self;
}

void Subscription::Run() {
  while (!stopping_.load()) {
    try {
      Listen();
    } catch (const std::bad_alloc&) {
      DebugLine("event connection: out of memory");
    }
    if (!endedByCallback_) ReportAllRemoved();
    std::unique_lock<platform::Mutex> lock(retryMutex_);
    retryWake_.wait_for(lock, std::chrono::milliseconds(kRetryMs), [this] { return stopping_.load(); });
  }
}

void Subscription::Listen() {
  const std::optional<ServiceAddress> address = CurrentServiceAddress();
  if (!address) return;
  int result = 0;
  std::unique_ptr<ServiceStream> stream = ConnectService(*address, kServiceConnectTimeoutMs, &result);
  if (!stream) return;
  const uint32_t tag = NextTag();
  const std::vector<uint8_t> request = ListenRequest(tag);
  size_t sent = 0;
  result = SendAll(*stream, request.data(), request.size(), kReplyTimeoutMs, &sent);
  Message message;
  if (result == 0) result = ReadMessage(*stream, kReplyTimeoutMs, &stopping_, &message);
  if (result == 0 &&
      (message.header.tag != tag || message.reply.kind != Reply::Kind::kResult || message.reply.number != 0))
    result = -EPROTO;
  while (result == 0 && !stopping_.load()) {
    result = ReadMessage(*stream, -1, &stopping_, &message);
    if (result != 0) break;
    const Reply& reply = message.reply;
    const auto known = std::find_if(devices_.begin(), devices_.end(), [&](const usbmuxd_device_info_t& device) {
      return device.handle == reply.device.handle;
    });
    switch (reply.kind) {
      case Reply::Kind::kAttached:
        if (known != devices_.end()) {
          *known = reply.device;
        } else if (devices_.size() < kMaxDevices) {
          devices_.push_back(reply.device);
        } else {
          break;
        }
        Deliver(UE_DEVICE_ADD, reply.device);
        break;
      case Reply::Kind::kDetached:
        if (known != devices_.end()) {
          const usbmuxd_device_info_t device = *known;
          devices_.erase(known);
          Deliver(UE_DEVICE_REMOVE, device);
        }
        break;
      case Reply::Kind::kPaired:
        if (known != devices_.end()) Deliver(UE_DEVICE_PAIRED, *known);
        break;
      default:
        break;  // nothing an event stream carries
    }
  }
  if (result != 0 && result != -ECANCELED) DebugLine("event connection lost: errno " + std::to_string(-result));
}

void Subscription::Deliver(int event, const usbmuxd_device_info_t& device) {
  // Once stopped from inside the callback, the caller may already be freeing what user data names.
  if (endedByCallback_) return;
  usbmuxd_event_t message{};
  message.event = event;
  message.device = device;
  callback_(&message, userData_);
}

void Subscription::ReportAllRemoved() {
  std::vector<usbmuxd_device_info_t> devices;
  devices.swap(devices_);
  for (const usbmuxd_device_info_t& device : devices) Deliver(UE_DEVICE_REMOVE, device);
}

}  // namespace kavex::usbmux
