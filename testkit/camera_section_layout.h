#pragma once
// A virtual camera's shared section as its consumer sees it: the named objects of each camera, the
// section's size, the header fields, the two picture slots and the format table. All of it comes
// from the camera contract the engine and the drivers share (include/kavex_camera_contract.h); the
// kit only gives it a consumer's names.
#include <cstddef>
#include <cstdint>

#include "kavex_camera_contract.h"

namespace testkit::camera_section {

constexpr int kCameras = kavex_camera::kCameras;

// Named objects per camera index 0-3; null for any other index.
inline const char* SectionName(int camera) {
  return camera >= 0 && camera < kCameras ? kavex_camera::kSectionNames[camera] : nullptr;
}
inline const char* EventName(int camera) {
  return camera >= 0 && camera < kCameras ? kavex_camera::kEventNames[camera] : nullptr;
}
inline const char* MutexName(int camera) {
  return camera >= 0 && camera < kCameras ? kavex_camera::kMutexNames[camera] : nullptr;
}

using kavex_camera::section::kBytes;
using kavex_camera::section::kConsumerCount;
using kavex_camera::section::kControlFlag;
using kavex_camera::section::kControlValue;
using kavex_camera::section::kDemandedCode;
using kavex_camera::section::kDemandedFps;
using kavex_camera::section::kDemandedHeight;
using kavex_camera::section::kDemandedWidth;
using kavex_camera::section::kEngineAttached;
using kavex_camera::section::kFormatTableCapacity;
using kavex_camera::section::kFormatTableCount;
using kavex_camera::section::kFormatTableRowBytes;
using kavex_camera::section::kFormatTableRows;
using kavex_camera::section::kLayoutVersion;
using kavex_camera::section::kSlotOffsets;
using kavex_camera::section::kVersion;

constexpr size_t kSlotBytes = kavex_camera::slot::kBytes;
constexpr size_t kSlotDataBytes = kavex_camera::slot::kDataBytes;
constexpr size_t kSlotLength = kavex_camera::slot::kLength;  // from the slot's start
constexpr size_t kSlotTime = kavex_camera::slot::kTime;
constexpr size_t kSlotReady = kavex_camera::slot::kReady;

using kavex_camera::kArgb;
using kavex_camera::kI420;
using kavex_camera::kRgb24;
using kavex_camera::kYuy2;
using kavex_camera::PixelCode;

}  // namespace testkit::camera_section
