#include "platform/environment.h"

#include <windows.h>

namespace kavex::platform {

std::string EnvironmentValue(const char* name) {
  char small[260];
  DWORD needed = GetEnvironmentVariableA(name, small, sizeof small);
  if (needed == 0) return std::string();
  if (needed < sizeof small) return std::string(small, needed);
  // Too long for the buffer: needed counts the terminator. The value may change in between; a
  // second miss reads as unset.
  std::string value(needed, '\0');
  const DWORD got = GetEnvironmentVariableA(name, &value[0], needed);
  if (got == 0 || got >= needed) return std::string();
  value.resize(got);
  return value;
}

}  // namespace kavex::platform
