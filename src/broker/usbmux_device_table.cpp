#include "broker/usbmux_device_table.h"

#include <algorithm>

#include "common/trace.h"
#include "platform/sync.h"

namespace kavex {

namespace {

// The service library's event thread.
void OnServiceEvent(const usbmuxd_event_t* event, void*) {
  if (event != nullptr) UsbmuxDeviceTable::Instance().OnEvent(event->event, event->device);
}

}  // namespace

UsbmuxDeviceTable& UsbmuxDeviceTable::Instance() {
  // Never destroyed: a thread may still ask for it while the process exits.
  static UsbmuxDeviceTable* const table = new UsbmuxDeviceTable();
  return *table;
}

bool UsbmuxDeviceTable::Subscribe() {
  // The table's mutex is not held across the call: the library may deliver the devices already
  // attached from its thread before the call returns.
  std::lock_guard<platform::Mutex> subscribing(subscribeMutex_);
  if (context_ != nullptr) return true;
  const int result = usbmuxd_events_subscribe(&context_, OnServiceEvent, nullptr);
  if (result != 0) {
    context_ = nullptr;
    KAVEX_TRACE_WARN("usbmux", "the multiplexing service's events could not be subscribed to (%d)", result);
    return false;
  }
  return true;
}

void UsbmuxDeviceTable::Unsubscribe() {
  std::lock_guard<platform::Mutex> subscribing(subscribeMutex_);
  if (context_ == nullptr) return;
  // Joins the library's event thread, which may be inside OnEvent waiting for mutex_: not held.
  usbmuxd_events_unsubscribe(context_);
  context_ = nullptr;
  std::lock_guard<platform::Mutex> lock(mutex_);
  entries_.clear();
  removed_.clear();
}

void UsbmuxDeviceTable::OnEvent(int event, const usbmuxd_device_info_t& device) {
  std::lock_guard<platform::Mutex> lock(mutex_);
  const auto same = [&](const UsbmuxDeviceEntry& entry) { return entry.device.handle == device.handle; };
  if (event == UE_DEVICE_ADD) {
    if (std::find_if(entries_.begin(), entries_.end(), same) != entries_.end()) return;
    if (entries_.size() >= kMaxDevices) {
      KAVEX_TRACE_WARN("usbmux", "device %u not taken in: %zu devices known", device.handle, entries_.size());
      return;
    }
    UsbmuxDeviceEntry entry;
    entry.device = device;
    entries_.push_back(entry);
    KAVEX_TRACE_DEBUG("usbmux", "device %u added (%s)", device.handle, entry.cable() ? "cable" : "network");
  } else if (event == UE_DEVICE_REMOVE) {
    const auto it = std::find_if(entries_.begin(), entries_.end(), same);
    if (it != entries_.end()) entries_.erase(it);
    // Told on even when unknown: the phone list may hold the handle from an earlier report. A
    // handle already waiting is not added twice.
    if (std::find(removed_.begin(), removed_.end(), device.handle) == removed_.end() && removed_.size() < kMaxRemoved)
      removed_.push_back(device.handle);
    KAVEX_TRACE_DEBUG("usbmux", "device %u removed", device.handle);
  }
}

std::vector<UsbmuxDeviceTable::Probe> UsbmuxDeviceTable::DueForProbe(double now, double intervalSeconds) {
  std::lock_guard<platform::Mutex> lock(mutex_);
  std::vector<Probe> due;
  for (const UsbmuxDeviceEntry& entry : entries_) {
    if (entry.kind() != 0) continue;
    if (now - entry.lastProbeTime < intervalSeconds) continue;
    due.push_back({entry.device.handle, entry.cable()});
  }
  return due;
}

void UsbmuxDeviceTable::StoreProbe(uint32_t handle, double now, const AnnouncementBlock* block) {
  std::lock_guard<platform::Mutex> lock(mutex_);
  for (UsbmuxDeviceEntry& entry : entries_) {
    if (entry.device.handle != handle) continue;
    if (block != nullptr) entry.announcement = *block;
    entry.lastProbeTime = now;
    return;
  }
}

std::vector<uint32_t> UsbmuxDeviceTable::TakeRemoved() {
  std::lock_guard<platform::Mutex> lock(mutex_);
  std::vector<uint32_t> removed;
  removed.swap(removed_);
  return removed;
}

std::vector<UsbmuxDeviceTable::Announced> UsbmuxDeviceTable::AnnouncedEntries() {
  std::lock_guard<platform::Mutex> lock(mutex_);
  std::vector<Announced> announced;
  for (const UsbmuxDeviceEntry& entry : entries_) {
    const PhoneAnnouncement announcement = ReadAnnouncementBlock(entry.announcement);
    if (announcement.kind == 0 || announcement.id.IsZero()) continue;
    announced.push_back({entry.device.handle, entry.cable(), announcement});
  }
  return announced;
}

bool UsbmuxDeviceTable::IsCable(uint32_t handle) {
  std::lock_guard<platform::Mutex> lock(mutex_);
  for (const UsbmuxDeviceEntry& entry : entries_)
    if (entry.device.handle == handle) return entry.cable();
  return false;
}

size_t UsbmuxDeviceTable::size() {
  std::lock_guard<platform::Mutex> lock(mutex_);
  return entries_.size();
}

}  // namespace kavex
