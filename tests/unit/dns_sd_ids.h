#pragma once
// Phone identifiers as the DNS service discovery tests spell them.
#include <string>

#include "common/phone_id.h"

// The identifier that the 32 hexadecimal digits spell.
inline kavex::PhoneId IdFromHex(const char* digits) {
  kavex::PhoneId id;
  for (size_t i = 0; i < id.bytes.size(); ++i) {
    const char pair[3] = {digits[2 * i], digits[2 * i + 1], 0};
    id.bytes[i] = static_cast<uint8_t>(std::stoul(pair, nullptr, 16));
  }
  return id;
}
