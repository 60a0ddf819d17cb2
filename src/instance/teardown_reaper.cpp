#include "instance/teardown_reaper.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "common/engine_thread.h"
#include "common/error_log.h"
#include "common/scope_exit.h"
#include "platform/sync.h"
#include "platform/system_thread.h"

namespace kavex {
namespace {

struct TeardownThread {
  platform::SystemThread thread;
  std::shared_ptr<std::atomic<bool>> done;
};

struct Reaper {
  // Room for this many teardowns that found no thread is kept from the start, so that setting one
  // aside needs no memory: it happens exactly when memory or threads ran out. A host has at most
  // four cameras, each torn down once per initialisation.
  static constexpr size_t kHomelessRoom = 16;
  Reaper() { homeless.reserve(kHomelessRoom); }

  platform::Mutex mutex;  // a leaf: never held while joining or running a teardown
  std::vector<TeardownThread> threads;
  std::vector<std::function<void()>> homeless;  // work that found no thread
};

Reaper& GetReaper() {
  // Never destroyed: a teardown may still be running while the library is unloaded by a host
  // that skipped EUninitialize; a static destructor must not join it then.
  static Reaper* const reaper = new Reaper;
  return *reaper;
}

}  // namespace

void TeardownReaper::Run(std::function<void()> work) {
  Reaper* found = nullptr;
  try {
    found = &GetReaper();  // made at its first use
  } catch (...) {
    ErrorLog::Record(error_codes::kTeardownAbandoned);
    return;
  }
  Reaper& reaper = *found;
  std::lock_guard<platform::Mutex> lock(reaper.mutex);
  try {
    // The record's room first: a running thread that could not be recorded could neither be joined
    // nor destroyed without ending the host's process.
    reaper.threads.reserve(reaper.threads.size() + 1);
    auto done = std::make_shared<std::atomic<bool>>(false);
    platform::SystemThread thread = StartEngineThread("kavex-teardown", error_codes::kTeardownThrew, [work, done] {
      const ScopeExit marksDone([&done] { done->store(true); });  // whichever way the work ends
      work();
    });
    reaper.threads.push_back(TeardownThread{std::move(thread), std::move(done)});  // within the room
    return;
  } catch (...) {
    ErrorLog::Record(error_codes::kTeardownThreadFailed);
  }
  if (reaper.homeless.size() < reaper.homeless.capacity()) {
    reaper.homeless.push_back(std::move(work));  // within the room: no allocation
    return;
  }
  // Nowhere to keep it: the camera's threads run on until the process ends, which is better than
  // ending the host's process now.
  ErrorLog::Record(error_codes::kTeardownAbandoned);
}

void TeardownReaper::JoinAll() {
  if (OnEngineThread()) return;
  Reaper& reaper = GetReaper();
  for (;;) {
    std::vector<TeardownThread> threads;
    std::vector<std::function<void()>> homeless;
    {
      std::lock_guard<platform::Mutex> lock(reaper.mutex);
      threads.swap(reaper.threads);
      // Moved out element by element, so that the reaper keeps its room for the next ones.
      for (std::function<void()>& work : reaper.homeless) homeless.push_back(std::move(work));
      reaper.homeless.clear();
    }
    if (threads.empty() && homeless.empty()) return;
    for (TeardownThread& entry : threads) entry.thread.join();
    for (std::function<void()>& work : homeless) work();
  }
}

bool TeardownReaper::Idle() {
  Reaper& reaper = GetReaper();
  std::lock_guard<platform::Mutex> lock(reaper.mutex);
  return reaper.threads.empty() && reaper.homeless.empty();
}

void TeardownReaper::JoinFinished() {
  if (OnEngineThread()) return;
  Reaper& reaper = GetReaper();
  std::vector<TeardownThread> finished;
  {
    std::lock_guard<platform::Mutex> lock(reaper.mutex);
    for (size_t i = 0; i < reaper.threads.size();) {
      if (reaper.threads[i].done->load()) {
        finished.push_back(std::move(reaper.threads[i]));
        reaper.threads.erase(reaper.threads.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
  }
  for (TeardownThread& entry : finished) entry.thread.join();
}

}  // namespace kavex
