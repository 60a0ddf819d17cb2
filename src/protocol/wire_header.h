#pragma once
#include <cstdint>

namespace kavex {

// Every message starts with 4 little-endian bytes: bits 0-23 hold the total length including these
// 4 bytes, bits 24-31 the message type.
struct WireHeader {
  static constexpr uint32_t kSize = 4;
  static constexpr uint32_t kMaxReceivedLength = 4000000;

  static constexpr uint32_t Encode(uint8_t type, uint32_t totalLength) {
    return (static_cast<uint32_t>(type) << 24) | (totalLength & 0xffffffu);
  }
  static constexpr uint32_t Length(uint32_t header) { return header & 0xffffffu; }
  static constexpr uint8_t Type(uint32_t header) { return static_cast<uint8_t>(header >> 24); }
};

}  // namespace kavex
