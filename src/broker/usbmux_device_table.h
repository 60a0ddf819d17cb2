#pragma once
#include <cstdint>
#include <mutex>
#include <vector>

#include "protocol/phone_announcement.h"
#include "usbmux/usbmuxd.h"

namespace kavex {

// One device the multiplexing service told of, in the order it was announced.
struct UsbmuxDeviceEntry {
  usbmuxd_device_info_t device{};  // as the service's event gave it
  double lastProbeTime = 0.0;      // engine clock; 0.0 until first probed
  AnnouncementBlock announcement{};  // all zero until a probe read a whole block

  uint16_t kind() const { return ReadAnnouncementBlock(announcement).kind; }
  bool cable() const { return device.conn_type == CONNECTION_TYPE_USB; }
};

// The devices the multiplexing service reports, and the handles it reported removed that nobody
// has been told of yet. Process-wide and never destroyed: the service subscription that feeds it
// is made once and outlives every monitor, and its event thread may still report while the process
// exits.
//
// Thread: OnEvent on the service library's event thread; the rest on the monitor thread and on
// whoever sets the monitor's listener. The table's mutex is a leaf: nothing is called under it.
class UsbmuxDeviceTable {
 public:
  // A service that reports without end cannot make the engine grow: a machine has a few devices,
  // so more are not taken in, and a pass (every 100 ms) empties the removals.
  static constexpr size_t kMaxDevices = 256;
  static constexpr size_t kMaxRemoved = 1024;

  static UsbmuxDeviceTable& Instance();

  // The subscription, once per process. False when the service library refused it (a later
  // monitor tries again).
  bool EnsureSubscribed();
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
    uint32_t handle;
    bool cable;
    PhoneAnnouncement announcement;
  };
  // The entries whose announcement has a kind and an identifier, in table order.
  std::vector<Announced> AnnouncedEntries();
  // Whether the service reaches the device with this handle by cable (false when unknown).
  bool IsCable(uint32_t handle);
  size_t size();

 private:
  UsbmuxDeviceTable() = default;

  std::mutex subscribeMutex_;  // held across the subscription call; then mutex_
  std::mutex mutex_;
  bool subscribed_ = false;
  std::vector<UsbmuxDeviceEntry> entries_;
  std::vector<uint32_t> removed_;
};

}  // namespace kavex
