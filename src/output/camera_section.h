#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kavex {

// The shared memory through which a section-based camera driver takes pictures: byte offsets of
// every field the engine reads or writes. The section is written by another process (the driver and
// its consumer), so every field is read with a fresh load, never cached.
namespace camera_section {

constexpr size_t kSize = 49865088;
constexpr uint32_t kLayoutVersion = 6;

constexpr size_t kVersion = 0;
constexpr size_t kConsumerCount = 4;
constexpr size_t kSlot0 = 32;
constexpr size_t kSlot1 = 24883296;
constexpr size_t kEngineAttached = 49862564;
constexpr size_t kDemandedWidth = 49864172;
constexpr size_t kDemandedHeight = 49864176;
constexpr size_t kDemandedFps = 49864180;
constexpr size_t kDemandedCode = 49864184;
constexpr size_t kControlFlag = 49864572;
constexpr size_t kControlValue = 49864576;
constexpr size_t kFormatTableCapacity = 49864580;
constexpr size_t kFormatTableCount = 49864584;
constexpr size_t kFormatTableRows = 49864588;
constexpr size_t kFormatTableRowBytes = 16;
// The engine writes at most this many rows.
constexpr uint32_t kMaxFormatTableRows = 2;

// Little-endian fields, each 4-byte aligned in a page-aligned view. The other side writes them
// from its own process at any time: every access is one atomic load or store. Loads acquire and
// stores release: a driver that takes its last picture and then demands a new size has finished
// reading the slots before the engine, having seen that demand, clears them.
inline uint32_t ReadU32(const uint8_t* section, size_t offset) {
  return __atomic_load_n(reinterpret_cast<const uint32_t*>(section + offset), __ATOMIC_ACQUIRE);
}
inline int32_t ReadI32(const uint8_t* section, size_t offset) {
  return static_cast<int32_t>(ReadU32(section, offset));
}
inline float ReadF32(const uint8_t* section, size_t offset) {
  const uint32_t bits = ReadU32(section, offset);
  float value;
  std::memcpy(&value, &bits, 4);
  return value;
}
inline void WriteU32(uint8_t* section, size_t offset, uint32_t value) {
  __atomic_store_n(reinterpret_cast<uint32_t*>(section + offset), value, __ATOMIC_RELEASE);
}
inline void WriteByte(uint8_t* section, size_t offset, uint8_t value) {
  __atomic_store_n(section + offset, value, __ATOMIC_RELEASE);
}

}  // namespace camera_section
}  // namespace kavex
