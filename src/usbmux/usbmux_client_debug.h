#pragma once
#include <string>

namespace kavex::usbmux {

// The client's own debug lines, off by default. At level 1 and above every failed request and
// every loss of an event connection is told to the debugger (standard error natively); the level
// is the one libusbmuxd_set_debug_level sets.
// Thread: any.
void SetDebugLevel(int level);
void DebugLine(const std::string& text);

}  // namespace kavex::usbmux
