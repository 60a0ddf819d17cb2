#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kavex {
namespace platform {
class DeviceDrivers;
}

// Where the virtual devices are: the process-wide tables of camera and microphone device paths
// that instance 0's open fills from the system's capture devices, and how the last scan went.
// Thread: written by instance 0's open (before the other instances open), read by every open; a
// mutex keeps a late reader consistent anyway.
namespace device_paths {

// A device path fits the tables with at most this many characters.
constexpr size_t kMaxPathChars = 259;

enum ScanStatus : int {
  kScanOk = 0,
  kEnumeratorFailed = 1,
  kNoCaptureDevices = 2,  // enumerating the capture category failed or found nothing
};

// Scans the capture devices and enters the eight virtual devices found by exact friendly name. Each
// scan starts from empty tables, so a device that went away is not opened by a stale path.
void Scan(platform::DeviceDrivers& drivers);

// Empty when not found. Indexes outside 0-3 have no devices.
std::wstring CameraPath(int index);
std::wstring MicrophonePath(int index);
int LastScanStatus();
// The tag of a device that could not be opened: ".C<index>E<system error>D<scan status>".
std::string FailureDetail(int index, uint32_t systemError);

const wchar_t* CameraName(int index);
const wchar_t* MicrophoneName(int index);

}  // namespace device_paths
}  // namespace kavex
