#include "platform/device_drivers.h"

#include <atomic>

namespace kavex::platform {

namespace {
// Set by test programs and the simulated-driver build before the engine opens, read by every
// open; an atomic keeps a late swap from tearing.
std::atomic<DeviceDrivers*> activeDrivers{nullptr};
}  // namespace

DeviceDrivers& ActiveDeviceDrivers() {
  DeviceDrivers* drivers = activeDrivers.load(std::memory_order_acquire);
  return drivers != nullptr ? *drivers : SystemDeviceDrivers();
}

void SetActiveDeviceDrivers(DeviceDrivers* drivers) { activeDrivers.store(drivers, std::memory_order_release); }

}  // namespace kavex::platform
