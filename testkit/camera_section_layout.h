#pragma once
// A virtual camera's shared section as its consumer sees it: the named objects of each camera, the
// section's size, the header fields, the two picture slots and the format table. Written from the
// consumer's side of the camera contract; tests/testkit checks it against the engine's own
// definitions, so neither can move without the other.
#include <cstddef>
#include <cstdint>

namespace testkit::camera_section {

constexpr int kCameras = 4;

// Named objects per camera index 0-3; null for any other index.
const char* SectionName(int camera);
const char* EventName(int camera);  // set by the engine after each picture it writes
const char* MutexName(int camera);  // held by the engine while it writes a picture

constexpr size_t kBytes = 49865088;
constexpr uint32_t kLayoutVersion = 6;

// Header: little-endian 32-bit fields at these byte offsets.
constexpr size_t kVersion = 0;
constexpr size_t kConsumerCount = 4;
constexpr size_t kEngineAttached = 49862564;  // one byte
constexpr size_t kDemandedWidth = 49864172;
constexpr size_t kDemandedHeight = 49864176;  // signed
constexpr size_t kDemandedFps = 49864180;     // float
constexpr size_t kDemandedCode = 49864184;
constexpr size_t kControlFlag = 49864572;
constexpr size_t kControlValue = 49864576;
constexpr size_t kFormatTableCapacity = 49864580;
constexpr size_t kFormatTableCount = 49864584;
constexpr size_t kFormatTableRows = 49864588;
// A row: width, height, frames per second × 1000, one more word.
constexpr size_t kFormatTableRowBytes = 16;

// Two picture slots: the picture data, then its length, time (float) and ready flag.
constexpr size_t kSlotOffsets[2] = {32, 24883296};
constexpr size_t kSlotBytes = 24883264;
constexpr size_t kSlotDataBytes = 24883232;
constexpr size_t kSlotLength = 24883232;  // from the slot's start
constexpr size_t kSlotTime = 24883236;
constexpr size_t kSlotReady = 24883240;

// The picture layouts a consumer may demand.
enum PixelCode : uint32_t {
  kRgb24 = 0,  // B, G, R per pixel; a negative height stores the bottom row first
  kYuy2 = 1,   // packed 4:2:2, Y0 U Y1 V
  kI420 = 2,   // Y plane, then U, then V, each at half width and half height
  kArgb = 3,   // A, R, G, B per pixel; a negative height stores the bottom row first
};

}  // namespace testkit::camera_section
