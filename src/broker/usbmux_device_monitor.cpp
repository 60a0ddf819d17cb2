#include "broker/usbmux_device_monitor.h"

#include <chrono>

#include "common/engine_thread.h"
#include "common/error_codes.h"
#include "common/error_log.h"
#include "common/scope_exit.h"
#include "common/trace.h"
#include "platform/sync.h"
#include "usbmux/usbmux_call_limits.h"

namespace kavex {

namespace {

constexpr auto kPassSleep = std::chrono::milliseconds(100);

}  // namespace

UsbmuxDeviceMonitor::UsbmuxDeviceMonitor(PhoneSightingListener* listener, const Options& options)
    : options_(options), listener_(listener) {
  thread_ = StartEngineThread("kavex-usbmux", error_codes::kUsbmuxMonitorThrew, [this] { Run(); });
}

UsbmuxDeviceMonitor::~UsbmuxDeviceMonitor() {
  {
    std::lock_guard<platform::Mutex> lock(napMutex_);
    stop_.store(true);
  }
  napWake_.notify_all();
  JoinEngineThread(thread_);
  // With no lock held: unsubscribing joins the library's event thread.
  if (subscribed_) options_.table->Unsubscribe();
}

void UsbmuxDeviceMonitor::SetListener(PhoneSightingListener* listener) {
  std::lock_guard<platform::Mutex> lock(listenerMutex_);
  listener_ = listener;
  if (listener == nullptr) return;
  for (const UsbmuxDeviceTable::Announced& entry : options_.table->AnnouncedEntries())
    listener->OnPhoneFound(
        PhoneSighting::Multiplexer(entry.announcement.id, entry.announcement.kind, entry.handle, entry.cable));
}

void UsbmuxDeviceMonitor::Run() {
  // Every call of the service on this thread: the destructor must not wait for a service that
  // takes a connection and never answers.
  const usbmux::CallLimits limits(&stop_, kProbeWaitLimitMs);
  // However it ends (out of memory, say, which the thread records): iPhones are not looked for
  // until instance 0 is made again.
  const ScopeExit ended([this] { running_.store(false); });
  subscribed_ = options_.table->Subscribe();
  if (!subscribed_) return;
  while (!stop_.load()) {
    for (const UsbmuxDeviceTable::Probe& device :
         options_.table->DueForProbe(options_.clock->Now(), options_.probeIntervalSeconds)) {
      if (stop_.load()) break;
      Probe(device);
    }
    const std::vector<uint32_t> removed = options_.table->TakeRemoved();
    if (!removed.empty()) {
      std::lock_guard<platform::Mutex> lock(listenerMutex_);
      for (const uint32_t handle : removed)
        if (listener_ != nullptr) listener_->OnPhoneLost(PhoneSighting::Multiplexer(PhoneId{}, 0, handle, false));
    }
    Nap();
  }
}

void UsbmuxDeviceMonitor::Probe(const UsbmuxDeviceTable::Probe& device) {
  int socket = usbmuxd_connect(device.handle, kAnnouncementPort);
  if (socket < 0 && !stop_.load()) socket = usbmuxd_connect(device.handle, kSessionPort);
  if (stop_.load()) {
    // Given up for the monitor's end: no attempt to count against the device.
    if (socket >= 0) usbmuxd_disconnect(socket);
    return;
  }
  AnnouncementBlock block{};
  bool whole = false;
  if (socket >= 0) {
    // One read: a block that does not come whole within it is discarded and asked for again at
    // the next probe, rather than waited for while other devices queue behind it.
    uint32_t got = 0;
    const int result = usbmuxd_recv_timeout(socket, reinterpret_cast<char*>(block.data()),
                                            static_cast<uint32_t>(block.size()), &got, kProbeReadMs);
    whole = result == 0 && got >= block.size();
    usbmuxd_disconnect(socket);
  }
  options_.table->StoreProbe(device.handle, options_.clock->Now(), whole ? &block : nullptr);
  if (!whole) {
    KAVEX_TRACE_DEBUG("usbmux", "device %u: no announcement (%s)", device.handle,
                      socket < 0 ? "both ports refused" : "not whole within 200 ms");
    return;
  }
  const PhoneAnnouncement announcement = ReadAnnouncementBlock(block);
  // Only a block read by this probe is reported: a failed read has no kind to tell of. An all-zero
  // identifier is kept (the device is not probed again when it has a kind) but names no phone.
  if (announcement.id.IsZero()) return;
  KAVEX_TRACE_INFO("usbmux", "device %u announces a phone of kind %u (%s)", device.handle, announcement.kind,
                   device.cable ? "cable" : "network");
  std::lock_guard<platform::Mutex> lock(listenerMutex_);
  if (!stop_.load() && listener_ != nullptr)
    listener_->OnPhoneFound(
        PhoneSighting::Multiplexer(announcement.id, announcement.kind, device.handle, device.cable));
}

void UsbmuxDeviceMonitor::Nap() {
  std::unique_lock<platform::Mutex> lock(napMutex_);
  napWake_.wait_for(lock, kPassSleep, [this] { return stop_.load(); });
}

}  // namespace kavex
