#include <windows.h>
#include <process.h>

#include <cerrno>
#include <memory>
#include <system_error>
#include <utility>

#include "platform/system_thread.h"

namespace kavex::platform {
namespace {

unsigned __stdcall ThreadEntry(void* raw) {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(raw));
  try {
    (*body)();
  } catch (...) {
    // Dropped: the caller's body catches what it means to report.
  }
  return 0;
}

}  // namespace

SystemThread::SystemThread(SystemThread&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), id_(std::exchange(other.id_, 0)) {}

SystemThread& SystemThread::operator=(SystemThread&& other) noexcept {
  if (this != &other) {
    detach();
    handle_ = std::exchange(other.handle_, nullptr);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

SystemThread::~SystemThread() { detach(); }

SystemThread SystemThread::Start(std::function<void()> body) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  unsigned id = 0;
  // _beginthreadex rather than CreateThread: the C runtime's per-thread state is set up and freed.
  const uintptr_t handle = _beginthreadex(nullptr, 0, &ThreadEntry, owned.get(), 0, &id);
  if (handle == 0) throw std::system_error(errno != 0 ? errno : EAGAIN, std::generic_category(), "no thread");
  static_cast<void>(owned.release());  // the thread's own now
  SystemThread started;
  // _beginthreadex gives the thread's handle as an integer.
  started.handle_ = reinterpret_cast<void*>(handle);  // NOLINT(performance-no-int-to-ptr)
  started.id_ = id;
  return started;
}

bool SystemThread::joinable() const noexcept { return handle_ != nullptr; }

bool SystemThread::IsCurrent() const noexcept { return handle_ != nullptr && id_ == GetCurrentThreadId(); }

void SystemThread::join() {
  if (handle_ == nullptr) throw std::system_error(std::make_error_code(std::errc::invalid_argument), "not joinable");
  if (IsCurrent()) throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur), "self");
  WaitForSingleObject(handle_, INFINITE);
  CloseHandle(handle_);
  handle_ = nullptr;
  id_ = 0;
}

void SystemThread::detach() noexcept {
  if (handle_ == nullptr) return;
  CloseHandle(handle_);
  handle_ = nullptr;
  id_ = 0;
}

ThreadSlot::ThreadSlot() noexcept {
  const DWORD index = TlsAlloc();
  made_ = index != TLS_OUT_OF_INDEXES;
  key_ = index;
}

ThreadSlot::~ThreadSlot() {
  if (made_) TlsFree(static_cast<DWORD>(key_));
}

void* ThreadSlot::Get() const noexcept { return made_ ? TlsGetValue(static_cast<DWORD>(key_)) : nullptr; }

void ThreadSlot::Set(void* value) noexcept {
  if (made_) TlsSetValue(static_cast<DWORD>(key_), value);
}

void SleepFor(std::chrono::milliseconds span) {
  const int64_t ms = span.count();
  Sleep(ms <= 0 ? 0 : ms >= static_cast<int64_t>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(ms));
}

}  // namespace kavex::platform
