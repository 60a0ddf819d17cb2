#pragma once
#include <atomic>

namespace kavex::usbmux {

// How long the engine lets a blocking call of the service's C interface (usbmuxd.h) run on one of
// its threads. The C interface has no way to stop a call, but every engine thread must notice its
// stop within a fraction of a second and no host call may wait long on a service that stalls: so
// while a CallLimits lives on a thread, our client's calls made on that thread look at `stop` at
// least every 100 ms and give up with -ECANCELED once it is true, and never wait longer than
// maxWaitMs at a time (connecting, a reply, a full socket), giving up with -ETIMEDOUT instead.
// With the system's client library (a native build option) the limits have no effect.
//
// Thread: thread-local; a scope set on one thread changes nothing on the others. Scopes nest: the
// inner one holds until it ends.
class CallLimits {
 public:
  static constexpr int kNoWaitLimit = -1;
  explicit CallLimits(const std::atomic<bool>* stop, int maxWaitMs = kNoWaitLimit);
  ~CallLimits();
  CallLimits(const CallLimits&) = delete;
  CallLimits& operator=(const CallLimits&) = delete;

  // The calling thread's current limits (no stop flag and no wait limit outside any scope).
  static bool StopRequested();
  // timeoutMs capped by the current wait limit (a negative timeoutMs means without limit).
  static int CapWait(int timeoutMs);

 private:
  static CallLimits* Current();
  const std::atomic<bool>* const stop_;
  const int maxWaitMs_;
  CallLimits* const previous_;  // the enclosing scope on this thread, if any
};

}  // namespace kavex::usbmux
