#include "discovery/dns_sd_instance_name.h"

#include <cstdint>

namespace kavex {

namespace {

int HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The pair's digits up to the first character that is not one; no sign, no blanks, no "0x".
uint8_t PairValue(uint8_t first, uint8_t second) {
  const int high = HexValue(first);
  if (high < 0) return 0;
  const int low = HexValue(second);
  if (low < 0) return static_cast<uint8_t>(high);
  return static_cast<uint8_t>(high * 16 + low);
}

template <typename Char>
size_t Length(const Char* name, size_t limit) {
  if (name == nullptr) return 0;
  size_t n = 0;
  while (n < limit && name[n] != 0) ++n;
  return n;
}

template <typename Char>
PhoneId Parse(const Char* name) {
  PhoneId id;
  for (size_t i = 0; i < id.bytes.size(); ++i) {
    const uint8_t first = static_cast<uint8_t>(name[2 * i] & 0xff);
    const uint8_t second = static_cast<uint8_t>(name[2 * i + 1] & 0xff);
    id.bytes[i] = PairValue(first, second);
  }
  return id;
}

}  // namespace

size_t InstanceNameLength(const char* name, size_t limit) { return Length(name, limit); }
size_t InstanceNameLength(const char16_t* name, size_t limit) { return Length(name, limit); }

PhoneId PhoneIdFromInstanceName(const char* name) { return Parse(name); }
PhoneId PhoneIdFromInstanceName(const char16_t* name) { return Parse(name); }

}  // namespace kavex
