#include "platform/sync.h"

#include <windows.h>

namespace kavex {
namespace platform {
namespace {

static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRWLOCK is one pointer");
static_assert(sizeof(CONDITION_VARIABLE) == sizeof(void*), "a CONDITION_VARIABLE is one pointer");

PSRWLOCK Native(void*& storage) { return reinterpret_cast<PSRWLOCK>(&storage); }
PCONDITION_VARIABLE NativeVariable(void*& storage) { return reinterpret_cast<PCONDITION_VARIABLE>(&storage); }

}  // namespace

void Mutex::lock() { AcquireSRWLockExclusive(Native(lock_)); }
bool Mutex::try_lock() { return TryAcquireSRWLockExclusive(Native(lock_)) != 0; }
void Mutex::unlock() { ReleaseSRWLockExclusive(Native(lock_)); }

void ConditionVariable::notify_one() noexcept { WakeConditionVariable(NativeVariable(variable_)); }
void ConditionVariable::notify_all() noexcept { WakeAllConditionVariable(NativeVariable(variable_)); }

bool ConditionVariable::WaitMs(std::unique_lock<Mutex>& lock, unsigned long ms) {
  // The lock is released while waiting and held again on return, as std::unique_lock expects.
  return SleepConditionVariableSRW(NativeVariable(variable_), Native(lock.mutex()->lock_), ms, 0) != 0;
}

}  // namespace platform
}  // namespace kavex
