#include "usbmux/usbmux_call_limits.h"

namespace kavex::usbmux {

namespace {

thread_local const std::atomic<bool>* tlsStop = nullptr;
thread_local int tlsMaxWaitMs = CallLimits::kNoWaitLimit;

}  // namespace

CallLimits::CallLimits(const std::atomic<bool>* stop, int maxWaitMs)
    : previousStop_(tlsStop), previousMaxWaitMs_(tlsMaxWaitMs) {
  tlsStop = stop;
  tlsMaxWaitMs = maxWaitMs;
}

CallLimits::~CallLimits() {
  tlsStop = previousStop_;
  tlsMaxWaitMs = previousMaxWaitMs_;
}

bool CallLimits::StopRequested() { return tlsStop != nullptr && tlsStop->load(); }

int CallLimits::CapWait(int timeoutMs) {
  if (tlsMaxWaitMs < 0) return timeoutMs;
  if (timeoutMs < 0) return tlsMaxWaitMs;
  return timeoutMs < tlsMaxWaitMs ? timeoutMs : tlsMaxWaitMs;
}

}  // namespace kavex::usbmux
