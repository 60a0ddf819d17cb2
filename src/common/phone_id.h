#pragma once
#include <array>
#include <cstdint>
#include <cstring>

namespace kavex {

// A phone's 16-byte identifier, compared as raw bytes. All zero means "no phone".
struct PhoneId {
  std::array<uint8_t, 16> bytes{};

  static PhoneId FromBytes(const uint8_t* data) {
    PhoneId id;
    if (data != nullptr) std::memcpy(id.bytes.data(), data, id.bytes.size());
    return id;
  }
  bool IsZero() const {
    for (uint8_t b : bytes)
      if (b != 0) return false;
    return true;
  }
  const uint8_t* data() const { return bytes.data(); }
  friend bool operator==(const PhoneId& a, const PhoneId& b) { return a.bytes == b.bytes; }
  friend bool operator!=(const PhoneId& a, const PhoneId& b) { return !(a == b); }
};

}  // namespace kavex
