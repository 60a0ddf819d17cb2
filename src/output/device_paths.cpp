#include "output/device_paths.h"

#include <mutex>
#include <vector>

#include "platform/device_drivers.h"
#include "platform/sync.h"

namespace kavex::device_paths {
namespace {

constexpr int kDevices = 4;
const wchar_t* const kCameraNames[kDevices] = {L"Kavex Webcam", L"Kavex Webcam #2", L"Kavex Webcam #3",
                                               L"Kavex Webcam #4"};
const wchar_t* const kMicrophoneNames[kDevices] = {L"Kavex Webcam Audio", L"Kavex Webcam Audio #2",
                                                   L"Kavex Webcam Audio #3", L"Kavex Webcam Audio #4"};

struct Tables {
  platform::Mutex mutex;
  std::wstring cameras[kDevices];
  std::wstring microphones[kDevices];
  int status = kScanOk;
};

Tables& GetTables() {
  static Tables* tables = new Tables;  // never destroyed: outlives every instance at unload
  return *tables;
}

bool ValidIndex(int index) { return index >= 0 && index < kDevices; }

}  // namespace

void Scan(platform::DeviceDrivers& drivers) {
  std::vector<std::wstring> wanted(kCameraNames, kCameraNames + kDevices);
  wanted.insert(wanted.end(), kMicrophoneNames, kMicrophoneNames + kDevices);
  std::vector<platform::CaptureDevice> devices;
  const platform::CaptureScanResult result = drivers.ScanCaptureDevices(wanted, &devices);
  Tables& tables = GetTables();
  std::lock_guard<platform::Mutex> lock(tables.mutex);
  for (int i = 0; i < kDevices; ++i) {
    tables.cameras[i].clear();
    tables.microphones[i].clear();
  }
  tables.status = kScanOk;
  if (result == platform::CaptureScanResult::kEnumeratorFailed) {
    tables.status = kEnumeratorFailed;
    return;
  }
  if (result == platform::CaptureScanResult::kCategoryFailed) {
    tables.status = kNoCaptureDevices;
    return;
  }
  for (const platform::CaptureDevice& device : devices) {
    // A path the tables cannot hold whole is left out: cut short it would name another device.
    if (device.devicePath.size() > kMaxPathChars) continue;
    for (int i = 0; i < kDevices; ++i) {
      if (device.friendlyName == kCameraNames[i]) tables.cameras[i] = device.devicePath;
      if (device.friendlyName == kMicrophoneNames[i]) tables.microphones[i] = device.devicePath;
    }
  }
}

std::wstring CameraPath(int index) {
  if (!ValidIndex(index)) return std::wstring();
  Tables& tables = GetTables();
  std::lock_guard<platform::Mutex> lock(tables.mutex);
  return tables.cameras[index];
}

std::wstring MicrophonePath(int index) {
  if (!ValidIndex(index)) return std::wstring();
  Tables& tables = GetTables();
  std::lock_guard<platform::Mutex> lock(tables.mutex);
  return tables.microphones[index];
}

int LastScanStatus() {
  Tables& tables = GetTables();
  std::lock_guard<platform::Mutex> lock(tables.mutex);
  return tables.status;
}

std::string FailureDetail(int index, uint32_t systemError) {
  return ".C" + std::to_string(index) + "E" + std::to_string(systemError) + "D" + std::to_string(LastScanStatus());
}

const wchar_t* CameraName(int index) { return ValidIndex(index) ? kCameraNames[index] : L""; }
const wchar_t* MicrophoneName(int index) { return ValidIndex(index) ? kMicrophoneNames[index] : L""; }

}  // namespace kavex::device_paths
