#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#if !defined(_WIN32)
#include <thread>
#endif

namespace kavex::platform {

// The engine's threads, per-thread values and sleeps, from the system itself.
//
// Under Windows the toolchain's thread library builds std::thread, thread_local, std::call_once,
// std::this_thread and its sleeps on a record per thread that it keeps for every thread that ever
// used one of them, host threads included, and frees only when that thread ends while the library
// is still loaded. A host thread that called into the engine and outlives the engine's unload
// would keep a thread handle and an event from every load, for good. So under Windows these are
// the system's threads (_beginthreadex), thread-local slots (TlsAlloc) and Sleep, which keep
// nothing per thread; natively they are the standard ones, which the thread sanitizer follows.

// A thread of the engine: the parts of std::thread the engine uses. Unlike std::thread, one
// dropped or overwritten while joinable is let go (detached), never the end of the process.
// Thread: the owner's.
class SystemThread {
 public:
  SystemThread() = default;
  SystemThread(SystemThread&& other) noexcept;
  SystemThread& operator=(SystemThread&& other) noexcept;
  SystemThread(const SystemThread&) = delete;
  SystemThread& operator=(const SystemThread&) = delete;
  ~SystemThread();

  // Runs `body` on a new thread; what it throws is dropped there (callers catch their own).
  // Throws std::system_error when the system gives no thread, std::bad_alloc without memory.
  static SystemThread Start(std::function<void()> body);

  bool joinable() const noexcept;
  // True on the thread itself: joining it from there would never return.
  bool IsCurrent() const noexcept;
  void join();
  void detach() noexcept;

 private:
#if defined(_WIN32)
  void* handle_ = nullptr;
  unsigned long id_ = 0;
#else
  std::thread thread_;
#endif
};

// One pointer per thread, null on every thread that has not set it. Thread: any, each its own.
class ThreadSlot {
 public:
  // A slot the system cannot give reads null everywhere and ignores Set.
  ThreadSlot() noexcept;
  ~ThreadSlot();
  ThreadSlot(const ThreadSlot&) = delete;
  ThreadSlot& operator=(const ThreadSlot&) = delete;

  void* Get() const noexcept;
  void Set(void* value) noexcept;

 private:
  uintptr_t key_ = 0;
  bool made_ = false;
};

// Sleeps the calling thread for about `span` (at least a scheduler tick when positive).
void SleepFor(std::chrono::milliseconds span);

}  // namespace kavex::platform
