#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kavex::platform {

// The engine's road to the virtual camera and microphone drivers: finding their devices among the
// system's capture devices, opening a device by its path and sending it control codes. On Windows
// the system's drivers are reached through COM (the system device enumerator's capture category),
// CreateFileW and DeviceIoControl. Test programs and engine-simdrivers.dll put simulated drivers in
// their place through SetActiveDeviceDrivers; engine.dll never carries any.

struct CaptureDevice {
  std::wstring friendlyName;
  std::wstring devicePath;
};

enum class CaptureScanResult {
  kScanned,           // the category was enumerated; devices holds what could be read
  kEnumeratorFailed,  // the system device enumerator could not be created
  kCategoryFailed,    // enumerating the capture category failed or found no device
};

// One open device. Closing happens when the object goes.
// Thread: any; a device may be used by several threads at once (the drivers serialise).
class Device {
 public:
  virtual ~Device() = default;
  // Sends one control code with its input and output buffers (either may be null with length 0).
  // True when the driver accepted the request; *returned then holds the number of output bytes it
  // wrote. On failure *returned is 0.
  virtual bool Control(uint32_t code, const void* input, uint32_t inputLength, void* output, uint32_t outputLength,
                       uint32_t* returned) = 0;
};

// Thread: any.
class DeviceDrivers {
 public:
  virtual ~DeviceDrivers() = default;
  // Lists the capture devices whose friendly name is one of wantedNames (exactly), with their
  // device paths; the paths of other devices are not read, and devices whose properties cannot be
  // read are left out. The result tells whether the category held any device at all, wanted or
  // not. On Windows the calling thread must have COM initialised (the host does that).
  virtual CaptureScanResult ScanCaptureDevices(const std::vector<std::wstring>& wantedNames,
                                               std::vector<CaptureDevice>* devices) = 0;
  // Opens the device for writing (write sharing, existing devices only). Null on failure, with the
  // system's error code in *systemError.
  virtual std::unique_ptr<Device> Open(const std::wstring& path, uint32_t* systemError) = 0;
};

// The drivers of this system: COM and device I/O on Windows; natively there are none (the scan
// finds nothing and every open fails with "file not found").
DeviceDrivers& SystemDeviceDrivers();

// The drivers the engine talks to: the system's unless simulated ones were set.
DeviceDrivers& ActiveDeviceDrivers();
// drivers: kept by the caller for as long as it is set; null returns to the system's drivers.
void SetActiveDeviceDrivers(DeviceDrivers* drivers);

}  // namespace kavex::platform
