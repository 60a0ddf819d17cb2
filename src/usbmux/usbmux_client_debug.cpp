#include "usbmux/usbmux_client_debug.h"

#include <atomic>

#include "platform/trace_output.h"

namespace kavex::usbmux {

namespace {
std::atomic<int> debugLevel{0};
}  // namespace

void SetDebugLevel(int level) { debugLevel.store(level); }

void DebugLine(const std::string& text) {
  if (debugLevel.load() <= 0) return;
  const std::string line = "usbmux: " + text + "\n";
  platform::WriteToDebugger(line.c_str(), line.size());
}

}  // namespace kavex::usbmux
