#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include "platform/sync.h"
#include "platform/system_thread.h"

namespace kavex {

// A transport's receive thread and the rules for letting go of it, the same for every transport:
// the owner may stop the transport from any thread, also from one of the transport's own callbacks
// (which runs on this thread: it must not join itself), or destroy it there.
//
// Thread: Start on the owner's worker, under startMutex(); Stop and Release on any thread. The
// start mutex orders a Start against a Stop from another instance's worker: the Start either
// finishes first (and its thread is joined) or finds the transport stopped.
class ReceiveThread {
 public:
  // open: the transport's flag that its loop watches; Stop clears it.
  explicit ReceiveThread(std::atomic<bool>& open) : open_(open) {}
  ReceiveThread(const ReceiveThread&) = delete;
  ReceiveThread& operator=(const ReceiveThread&) = delete;

  platform::Mutex& startMutex() { return startMutex_; }
  bool stopped() const { return stopped_.load(); }
  // Requires startMutex(). Runs body on a new engine thread of this name, which counts as this
  // transport's from its first instruction. False when the thread cannot be made.
  bool Start(const std::string& name, std::function<void()> body);
  // Clears the open flag and joins the thread, or, on the thread itself, only clears the flags (a
  // later Stop or Release from elsewhere joins it). Idempotent.
  void Stop();
  // For the transport's destructor: true when it runs on the thread itself (an owner dropping its
  // last reference inside a callback), which is then detached, as it touches nothing of the
  // transport once the callback returns; otherwise stops and joins as Stop does.
  bool Release();

 private:
  bool OnThisThread() const;

  std::atomic<bool>& open_;
  std::atomic<bool> stopped_{false};
  platform::Mutex startMutex_;
  platform::SystemThread thread_;
};

}  // namespace kavex
