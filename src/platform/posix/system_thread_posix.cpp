#include <pthread.h>

#include <utility>

#include "platform/system_thread.h"

namespace kavex::platform {

SystemThread::SystemThread(SystemThread&& other) noexcept : thread_(std::move(other.thread_)) {}

SystemThread& SystemThread::operator=(SystemThread&& other) noexcept {
  if (this != &other) {
    detach();
    thread_ = std::move(other.thread_);
  }
  return *this;
}

SystemThread::~SystemThread() { detach(); }

SystemThread SystemThread::Start(std::function<void()> body) {
  SystemThread started;
  started.thread_ = std::thread([body = std::move(body)] {
    try {
      body();
    } catch (...) {
      // Dropped: the caller's body catches what it means to report.
    }
  });
  return started;
}

bool SystemThread::joinable() const noexcept { return thread_.joinable(); }

bool SystemThread::IsCurrent() const noexcept { return thread_.get_id() == std::this_thread::get_id(); }

void SystemThread::join() { thread_.join(); }

void SystemThread::detach() noexcept {
  if (thread_.joinable()) thread_.detach();
}

ThreadSlot::ThreadSlot() noexcept {
  pthread_key_t key{};
  made_ = pthread_key_create(&key, nullptr) == 0;
  key_ = static_cast<uintptr_t>(key);
}

ThreadSlot::~ThreadSlot() {
  if (made_) pthread_key_delete(static_cast<pthread_key_t>(key_));
}

void* ThreadSlot::Get() const noexcept {
  return made_ ? pthread_getspecific(static_cast<pthread_key_t>(key_)) : nullptr;
}

void ThreadSlot::Set(void* value) noexcept {
  if (made_) pthread_setspecific(static_cast<pthread_key_t>(key_), value);
}

void SleepFor(std::chrono::milliseconds span) { std::this_thread::sleep_for(span); }

}  // namespace kavex::platform
