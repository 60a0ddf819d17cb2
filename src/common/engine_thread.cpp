#include "common/engine_thread.h"

#include <utility>

#include "common/error_log.h"
#include "platform/thread_name.h"

namespace kavex {
namespace {

// Set (non-null) on the engine's threads. Made when the engine is loaded, on the loading thread.
platform::ThreadSlot g_engineThreadSlot;
char g_engineThreadMark;  // the slot's value on an engine thread: any address that is not null

}  // namespace

EngineThreadMark::EngineThreadMark() : previous_(OnEngineThread()) { g_engineThreadSlot.Set(&g_engineThreadMark); }

EngineThreadMark::~EngineThreadMark() { g_engineThreadSlot.Set(previous_ ? &g_engineThreadMark : nullptr); }

bool OnEngineThread() { return g_engineThreadSlot.Get() != nullptr; }

platform::SystemThread StartEngineThread(std::string name, ErrorCode threw, std::function<void()> body) {
  return platform::SystemThread::Start([name = std::move(name), threw, body = std::move(body)] {
    const EngineThreadMark engineThread;
    try {
      platform::NameCurrentThread(name);
      body();
    } catch (...) {
      try {
        ErrorLog::Record(threw);
      } catch (...) {
        // No memory even for the record: the thread ends all the same.
      }
    }
  });
}

void JoinEngineThread(platform::SystemThread& thread) {
  if (!thread.joinable()) return;
  if (thread.IsCurrent()) {
    thread.detach();
    return;
  }
  thread.join();
}

}  // namespace kavex
