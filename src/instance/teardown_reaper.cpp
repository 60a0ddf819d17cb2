#include "instance/teardown_reaper.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "common/engine_thread.h"
#include "platform/thread_name.h"
#include "common/error_log.h"

namespace kavex {
namespace {

struct TeardownThread {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> done;
};

struct Reaper {
  std::mutex mutex;  // a leaf: never held while joining or running a teardown
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
  Reaper& reaper = GetReaper();
  auto done = std::make_shared<std::atomic<bool>>(false);
  try {
    std::thread thread([work, done] {
      const EngineThreadMark engineThread;
      platform::NameCurrentThread("kavex-teardown");
      try {
        work();
      } catch (...) {
        ErrorLog::Record(error_codes::kTeardownThrew);
      }
      done->store(true);
    });
    std::lock_guard<std::mutex> lock(reaper.mutex);
    reaper.threads.push_back(TeardownThread{std::move(thread), done});
  } catch (...) {
    ErrorLog::Record(error_codes::kTeardownThreadFailed);
    std::lock_guard<std::mutex> lock(reaper.mutex);
    reaper.homeless.push_back(std::move(work));
  }
}

void TeardownReaper::JoinAll() {
  if (OnEngineThread()) return;
  Reaper& reaper = GetReaper();
  for (;;) {
    std::vector<TeardownThread> threads;
    std::vector<std::function<void()>> homeless;
    {
      std::lock_guard<std::mutex> lock(reaper.mutex);
      threads.swap(reaper.threads);
      homeless.swap(reaper.homeless);
    }
    if (threads.empty() && homeless.empty()) return;
    for (TeardownThread& entry : threads) entry.thread.join();
    for (std::function<void()>& work : homeless) work();
  }
}

bool TeardownReaper::Idle() {
  Reaper& reaper = GetReaper();
  std::lock_guard<std::mutex> lock(reaper.mutex);
  return reaper.threads.empty() && reaper.homeless.empty();
}

void TeardownReaper::JoinFinished() {
  if (OnEngineThread()) return;
  Reaper& reaper = GetReaper();
  std::vector<TeardownThread> finished;
  {
    std::lock_guard<std::mutex> lock(reaper.mutex);
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
