#pragma once
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/sync.h"
#include "protocol/phone_announcement.h"
#include "usbmux/usbmuxd.h"

namespace kavex {

// One device the multiplexing service told of, in the order it was announced.
struct UsbmuxDeviceEntry {
  usbmuxd_device_info_t device{};    // as the service's event gave it
  double lastProbeTime = 0.0;        // engine clock; 0.0 until first probed
  AnnouncementBlock announcement{};  // all zero until a probe read a whole block

  uint16_t kind() const { return ReadAnnouncementBlock(announcement).kind; }
  bool cable() const { return device.conn_type == CONNECTION_TYPE_USB; }
};

// The devices the multiplexing service reports, and the handles it reported removed that nobody
// has been told of yet: one table for the process, fed by one subscription at a time, which the
// monitor of the current instance 0 holds. No subscription outlives its monitor: its thread runs
// in the engine's code, and a host may unload the engine once its last camera is gone.
//
// Thread: OnEvent on the service library's event thread; the rest on the monitor thread and on
// whoever sets the monitor's listener or destroys it. The table's mutex is a leaf: nothing is
// called under it.
class UsbmuxDeviceTable {
 public:
  // A service that reports without end cannot make the engine grow: a machine has a few devices,
  // so more are not taken in, and a pass (every 100 ms) empties the removals.
  static constexpr size_t kMaxDevices = 256;
  static constexpr size_t kMaxRemoved = 1024;

  static UsbmuxDeviceTable& Instance();

  // Subscribes to the service's events. False when the service library refused. Requires that
  // no subscription is held.
  bool Subscribe();
  // Ends the subscription (its thread joined) and forgets every device and removal: the next
  // subscription hears the attached devices anew. Safe without one.
  void Unsubscribe();
  // What the subscription hears; also what tests feed it.
  void OnEvent(int event, const usbmuxd_device_info_t& device);

  struct Probe {
    uint32_t handle;
    bool cable;
  };
  // The entries still unannounced (kind 0) whose last probe was at least intervalSeconds ago.
  std::vector<Probe> DueForProbe(double now, double intervalSeconds);
  // After a probe of the entry with this handle: its time, and the block when one was read whole.
  void StoreProbe(uint32_t handle, double now, const AnnouncementBlock* block);
  // The handles reported removed since the last call, in order.
  std::vector<uint32_t> TakeRemoved();

  struct Announced {
    uint32_t handle = 0;
    bool cable = false;
    PhoneAnnouncement announcement;
  };
  // The entries whose announcement has a kind and an identifier, in table order.
  std::vector<Announced> AnnouncedEntries();
  // Whether the service reaches the device with this handle by cable (false when unknown).
  bool IsCable(uint32_t handle);
  size_t size();

 private:
  UsbmuxDeviceTable() = default;

  platform::Mutex subscribeMutex_;                    // held across the (un)subscribe calls; then mutex_
  usbmuxd_subscription_context_t context_ = nullptr;  // under subscribeMutex_
  platform::Mutex mutex_;
  std::vector<UsbmuxDeviceEntry> entries_;
  std::vector<uint32_t> removed_;
};

}  // namespace kavex
