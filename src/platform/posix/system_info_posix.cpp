#include "platform/system_info.h"

#include <cerrno>

namespace kavex::platform {

bool QuerySystemVersion(SystemVersion*) { return false; }

uint32_t LastSystemError() { return static_cast<uint32_t>(errno); }

}  // namespace kavex::platform
