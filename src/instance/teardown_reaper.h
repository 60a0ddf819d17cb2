#pragma once
#include <functional>

namespace kavex {

// Teardowns that cannot run where they are asked for. A host may call EUninitialize from inside a
// callback, that is on an engine thread: the worker, a receive thread, a decoder thread. Tearing
// the camera down there would join the calling thread itself, or threads that may be waiting for
// it (another camera's teardown from its own callback), so such a teardown runs on a thread of its
// own, and this keeps those threads until somebody joins them: the host's next EUninitialize,
// EInitialize or EOpen, from one of its own threads.
//
// Thread: any. Join calls made on an engine thread do nothing: only host threads (and tests) join.
class TeardownReaper {
 public:
  // Starts work on a teardown thread. Without a thread to be had (out of resources) the work waits
  // for the next JoinAll, which runs it on its caller's thread.
  static void Run(std::function<void()> work);
  // Joins every teardown thread started so far, waiting for those still running, and runs the
  // work that found no thread.
  static void JoinAll();
  // Joins the teardown threads that have already finished, without waiting.
  static void JoinFinished();
  // True when no teardown thread is left to join and no work waits for one.
  static bool Idle();
};

}  // namespace kavex
