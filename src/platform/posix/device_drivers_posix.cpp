#include "platform/device_drivers.h"

namespace kavex::platform {

namespace {

constexpr uint32_t kErrorFileNotFound = 2;

// Thread: any; stateless. The native system has no capture category to enumerate and no device
// paths: its programs bring simulated drivers.
class NoDeviceDrivers final : public DeviceDrivers {
 public:
  CaptureScanResult ScanCaptureDevices(const std::vector<std::wstring>& /*wantedNames*/,
                                       std::vector<CaptureDevice>* devices) override {
    devices->clear();
    return CaptureScanResult::kCategoryFailed;
  }

  std::unique_ptr<Device> Open(const std::wstring& /*path*/, uint32_t* systemError) override {
    if (systemError != nullptr) *systemError = kErrorFileNotFound;
    return nullptr;
  }
};

}  // namespace

DeviceDrivers& SystemDeviceDrivers() {
  static NoDeviceDrivers drivers;
  return drivers;
}

}  // namespace kavex::platform
