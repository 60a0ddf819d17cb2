#pragma once
#include <cstdint>
#include <string>

namespace kavex {

// What the sessions last reported for a phone. The values reach the host unchanged.
enum class PhoneState : int32_t {
  kIdle = 0,
  kFailed = 1,
  kConnecting = 2,
  kStreaming = 3,
  kPasscodeNeeded = 4,
};

// One line of the list the host is shown.
struct PhoneListEntry {
  std::string key;
  std::string displayName;
  int32_t selected = 0;
};

}  // namespace kavex
