#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kavex {

// Reads little-endian fields at fixed offsets of one received message. The caller checks the
// message is long enough for its layout first (Has); reads past the end yield 0, never bytes from
// beyond the message.
class WireReader {
 public:
  WireReader(const uint8_t* data, size_t length) : data_(data), length_(length) {}

  size_t length() const { return length_; }
  bool Has(size_t offset, size_t size) const { return offset <= length_ && size <= length_ - offset; }
  const uint8_t* At(size_t offset) const { return data_ + offset; }

  uint32_t U32(size_t offset) const {
    if (!Has(offset, 4)) return 0;
    return static_cast<uint32_t>(data_[offset]) | (static_cast<uint32_t>(data_[offset + 1]) << 8) |
           (static_cast<uint32_t>(data_[offset + 2]) << 16) | (static_cast<uint32_t>(data_[offset + 3]) << 24);
  }
  int32_t I32(size_t offset) const { return static_cast<int32_t>(U32(offset)); }
  uint16_t U16(size_t offset) const {
    if (!Has(offset, 2)) return 0;
    return static_cast<uint16_t>(data_[offset] | (data_[offset + 1] << 8));
  }
  uint8_t U8(size_t offset) const { return Has(offset, 1) ? data_[offset] : 0; }
  uint64_t U64(size_t offset) const {
    return static_cast<uint64_t>(U32(offset)) | (static_cast<uint64_t>(U32(offset + 4)) << 32);
  }
  float F32(size_t offset) const {
    const uint32_t bits = U32(offset);
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }

 private:
  const uint8_t* data_;
  size_t length_;
};

}  // namespace kavex
