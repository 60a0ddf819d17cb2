#pragma once
#include <string>

namespace kavex::platform {

// A variable of the process's environment as the system keeps it (on Windows the process block,
// which the host may have changed with SetEnvironmentVariable after start, not the C runtime's
// copy). Empty when unset or unreadable.
// Thread: any.
std::string EnvironmentValue(const char* name);

}  // namespace kavex::platform
