#pragma once
// The phone states by the names a host's output and reports give them.
#include "kavex_engine.h"

namespace testkit {

// "Idle", "Failed", "Connecting", "Streaming", "PasscodeNeeded"; nullptr for any other value.
inline const char* PhoneStateName(int state) {
  switch (state) {
    case KAVEX_PHONE_IDLE:
      return "Idle";
    case KAVEX_PHONE_FAILED:
      return "Failed";
    case KAVEX_PHONE_CONNECTING:
      return "Connecting";
    case KAVEX_PHONE_STREAMING:
      return "Streaming";
    case KAVEX_PHONE_PASSCODE_NEEDED:
      return "PasscodeNeeded";
    default:
      return nullptr;
  }
}

}  // namespace testkit
