#pragma once
#include <functional>
#include <string>

#include "common/error_codes.h"
#include "platform/system_thread.h"

namespace kavex {

// Every thread the engine starts, starts here: marked as the engine's for its whole life, named
// (traces, debuggers, the soak's handle report name it), and nothing it throws escapes it (a
// std::thread would end the host's process): what its body lets through is recorded under `threw`
// and the thread ends. Throws std::system_error when the system gives no thread, and
// std::bad_alloc, as std::thread does. The thread is the system's own (platform/system_thread.h):
// host threads that start, join or ask about engine threads keep nothing of the engine's.
// (The multiplexing client's event thread is that library's own, as the system's library would
// start it, and does not come through here.)
platform::SystemThread StartEngineThread(std::string name, ErrorCode threw, std::function<void()> body);

// Waits for an engine thread to end; on that thread itself (a teardown reached from its own
// callback) it lets the thread end on its own instead, as joining would never return.
void JoinEngineThread(platform::SystemThread& thread);

// Which threads are the engine's own. A host may call any export from a callback, EUninitialize
// included; the engine must then never join the thread it runs on (nor, through another
// instance's teardown, a thread that waits for it), so teardown asks this before it joins anything.
// Thread: any; the mark is per thread, set by StartEngineThread for the thread's whole life.
bool OnEngineThread();

// The mark itself, for a thread that becomes the engine's for a while (tests).
class EngineThreadMark {
 public:
  EngineThreadMark();
  ~EngineThreadMark();
  EngineThreadMark(const EngineThreadMark&) = delete;
  EngineThreadMark& operator=(const EngineThreadMark&) = delete;

 private:
  bool previous_;
};

}  // namespace kavex
