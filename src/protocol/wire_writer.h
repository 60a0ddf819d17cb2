#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

namespace kavex {

// Appends little-endian fields to a message buffer. Messages are built whole before they are sent,
// so one send carries one message.
class WireWriter {
 public:
  WireWriter& U32(uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes_.push_back(static_cast<uint8_t>(value >> shift));
    return *this;
  }
  WireWriter& I32(int32_t value) { return U32(static_cast<uint32_t>(value)); }
  WireWriter& F32(float value) {
    uint32_t bits = 0;
    static_assert(sizeof bits == sizeof value, "IEEE single precision expected");
    std::memcpy(&bits, &value, sizeof bits);
    return U32(bits);
  }
  std::vector<uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace kavex
