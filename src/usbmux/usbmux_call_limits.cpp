#include "usbmux/usbmux_call_limits.h"

#include "platform/system_thread.h"

namespace kavex::usbmux {

namespace {

// The innermost scope on each thread (a system slot, not thread_local: host threads call in too).
platform::ThreadSlot g_currentScope;

}  // namespace

CallLimits* CallLimits::Current() { return static_cast<CallLimits*>(g_currentScope.Get()); }

CallLimits::CallLimits(const std::atomic<bool>* stop, int maxWaitMs)
    : stop_(stop), maxWaitMs_(maxWaitMs), previous_(Current()) {
  g_currentScope.Set(this);
}

CallLimits::~CallLimits() { g_currentScope.Set(previous_); }

bool CallLimits::StopRequested() {
  const CallLimits* scope = Current();
  return scope != nullptr && scope->stop_ != nullptr && scope->stop_->load();
}

int CallLimits::CapWait(int timeoutMs) {
  const CallLimits* scope = Current();
  const int limit = scope == nullptr ? kNoWaitLimit : scope->maxWaitMs_;
  if (limit < 0) return timeoutMs;
  if (timeoutMs < 0) return limit;
  return timeoutMs < limit ? timeoutMs : limit;
}

}  // namespace kavex::usbmux
