#pragma once
#include <cstdint>

namespace kavex::platform {

// Facts about the running system that decide how the engine works around its services.
// Thread: any.

struct SystemVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
};

// The Windows version as the kernel reports it (RtlGetVersion, which is not subject to the
// compatibility shims that make GetVersionEx lie). False where there is no such function (and on
// every other system).
bool QuerySystemVersion(SystemVersion* out);

// The calling thread's last system error (GetLastError / errno). Read it right after the call that
// failed.
uint32_t LastSystemError();

}  // namespace kavex::platform
