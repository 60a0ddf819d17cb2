#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kavex::fuzz {

// Reads a fuzz input front to back, so that a seed can be written as the script of what happens:
// numbers are little-endian, texts a 16-bit length then the bytes. Past the end every number is 0
// and every text empty.
// Thread: one.
class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t remaining() const { return size_ - at_; }
  uint8_t U8() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(U8() | U8() << 8); }
  uint32_t U32() { return static_cast<uint32_t>(U16()) | static_cast<uint32_t>(U16()) << 16; }
  // 0 .. count - 1.
  uint32_t Below(uint32_t count) { return count == 0 ? 0 : U8() % count; }
  std::string Text(size_t maxLength) {
    size_t length = U16();
    if (length > maxLength) length = maxLength;
    if (length > remaining()) length = remaining();
    std::string text(reinterpret_cast<const char*>(data_ + at_), length);
    at_ += length;
    return text;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace kavex::fuzz
