#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kavex_camera_contract.h"

namespace kavex {

// The shared memory through which a section-based camera driver takes pictures: the engine's names
// for the contract's offsets, and how it reads and writes them. The section is written by another process (the driver
// and its consumer), so every field is read with a fresh load, never cached.
namespace camera_section {

namespace contract = kavex_camera::section;
constexpr size_t kSize = contract::kBytes;
constexpr uint32_t kLayoutVersion = contract::kLayoutVersion;

constexpr size_t kVersion = contract::kVersion;
constexpr size_t kConsumerCount = contract::kConsumerCount;
constexpr size_t kSlot0 = contract::kSlotOffsets[0];
constexpr size_t kSlot1 = contract::kSlotOffsets[1];
constexpr size_t kEngineAttached = contract::kEngineAttached;
constexpr size_t kDemandedWidth = contract::kDemandedWidth;
constexpr size_t kDemandedHeight = contract::kDemandedHeight;
constexpr size_t kDemandedFps = contract::kDemandedFps;
constexpr size_t kDemandedCode = contract::kDemandedCode;
constexpr size_t kControlFlag = contract::kControlFlag;
constexpr size_t kControlValue = contract::kControlValue;
constexpr size_t kFormatTableCapacity = contract::kFormatTableCapacity;
constexpr size_t kFormatTableCount = contract::kFormatTableCount;
constexpr size_t kFormatTableRows = contract::kFormatTableRows;
constexpr size_t kFormatTableRowBytes = contract::kFormatTableRowBytes;
// The engine writes at most this many rows.
constexpr uint32_t kMaxFormatTableRows = 2;

// Little-endian fields, each 4-byte aligned in a page-aligned view. The other side writes them
// from its own process at any time: every access is one atomic load or store. Loads acquire and
// stores release: a driver that takes its last picture and then demands a new size has finished
// reading the slots before the engine, having seen that demand, clears them.
inline uint32_t ReadU32(const uint8_t* section, size_t offset) {
  return __atomic_load_n(reinterpret_cast<const uint32_t*>(section + offset), __ATOMIC_ACQUIRE);
}
inline int32_t ReadI32(const uint8_t* section, size_t offset) { return static_cast<int32_t>(ReadU32(section, offset)); }
inline float ReadF32(const uint8_t* section, size_t offset) {
  const uint32_t bits = ReadU32(section, offset);
  float value = 0;
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
