#include "common/engine_thread.h"

#include <utility>

#include "common/error_log.h"
#include "platform/thread_name.h"

namespace kavex {
namespace {

thread_local bool tlsEngineThread = false;

}  // namespace

EngineThreadMark::EngineThreadMark() : previous_(tlsEngineThread) { tlsEngineThread = true; }

EngineThreadMark::~EngineThreadMark() { tlsEngineThread = previous_; }

bool OnEngineThread() { return tlsEngineThread; }

std::thread StartEngineThread(std::string name, ErrorCode threw, std::function<void()> body) {
  return std::thread([name = std::move(name), threw, body = std::move(body)] {
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

void JoinEngineThread(std::thread& thread) {
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
    return;
  }
  thread.join();
}

}  // namespace kavex
