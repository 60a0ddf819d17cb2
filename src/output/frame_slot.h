#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kavex_camera_contract.h"

namespace kavex {

// One picture slot, in the shared camera section or in the output's own memory (same layout):
// picture data, then its length, time and ready flag. `ready` is the hand-over with the driver,
// which clears it from another thread or process when it has taken the picture, so it is accessed
// atomically.
// Thread: any; the slot does not own its memory.
class FrameSlot {
 public:
  static constexpr size_t kBytes = kavex_camera::slot::kBytes;
  static constexpr size_t kDataBytes = kavex_camera::slot::kDataBytes;
  static constexpr size_t kLengthOffset = kavex_camera::slot::kLength;
  static constexpr size_t kTimeOffset = kavex_camera::slot::kTime;
  static constexpr size_t kReadyOffset = kavex_camera::slot::kReady;

  explicit FrameSlot(uint8_t* base) : base_(base) {}

  uint8_t* data() const { return base_; }
  uint32_t length() const { return Load(kLengthOffset); }
  void SetLength(uint32_t length) { Store(kLengthOffset, length); }
  float time() const {
    const uint32_t bits = Load(kTimeOffset);
    float value = 0;
    std::memcpy(&value, &bits, 4);
    return value;
  }
  void SetTime(float time) {
    uint32_t bits = 0;
    std::memcpy(&bits, &time, 4);
    Store(kTimeOffset, bits);
  }
  bool ready() const { return Load(kReadyOffset) != 0; }
  void SetReady(bool ready) { Store(kReadyOffset, ready ? 1u : 0u); }

 private:
  // The fields are 4-byte aligned in both memories (the section's slots start at offsets 32 and
  // 24,883,296 of a page-aligned view).
  uint32_t Load(size_t offset) const {
    return __atomic_load_n(reinterpret_cast<const uint32_t*>(base_ + offset), __ATOMIC_ACQUIRE);
  }
  void Store(size_t offset, uint32_t value) {
    __atomic_store_n(reinterpret_cast<uint32_t*>(base_ + offset), value, __ATOMIC_RELEASE);
  }

  uint8_t* base_;
};

}  // namespace kavex
