#pragma once
#include <atomic>
#include <memory>
#include <string>

#include "common/phone_id.h"
#include "instance/engine_event.h"
#include "platform/clock.h"
#include "platform/system_thread.h"

namespace kavex {

// What the worker loop asks of its instance.
class WorkerHandler {
 public:
  virtual ~WorkerHandler() = default;
  // A kind-0 event: take the phone over (from any other instance) and connect to it.
  virtual void OnConnectRequest(const PhoneId& phone) = 0;
  // The refresh deadline has passed.
  virtual void OnRefreshDue() = 0;
  // Once per pass, about once a second: periodic checks.
  virtual void OnPassEnd() = 0;
};

// The loop's sense of time: a clock it can also sleep on. The real one reads EngineClock and
// sleeps; tests drive a virtual one so that deadlines can be checked exactly.
class WorkerTiming : public Clock {
 public:
  virtual void Sleep100Ms() = 0;
};

// Serialises an instance's connection decisions: events are handled in order, at most ten per pass;
// refresh requests coalesce into one deadline, set by the first request while none is pending.
// Thread: Start() spawns the worker thread, which runs Run(); Stop() is called from the owner's
// thread and joins it. Owns the thread; the queue, handler and timing belong to the caller.
class WorkerLoop {
 public:
  static constexpr int kEventsPerPass = 10;
  static constexpr int kStartupSleeps = 20;  // 2 s before the first pass

  // threadName: what the worker thread is called, for debuggers and process viewers.
  WorkerLoop(EventQueue& queue, WorkerHandler& handler, WorkerTiming& timing, std::string threadName = "kavex-worker");
  ~WorkerLoop();
  WorkerLoop(const WorkerLoop&) = delete;
  WorkerLoop& operator=(const WorkerLoop&) = delete;

  void Start();
  // Clears the running flag and joins the thread. Safe to call twice.
  void Stop();
  bool running() const { return running_.load(); }

  // The loop body, on the calling thread, until the running flag is cleared. Start() runs it on the
  // worker thread; tests run it directly with a virtual clock after MarkRunning().
  void Run();
  void MarkRunning() { running_.store(true); }
  void RequestStop() { running_.store(false); }

 private:
  void Handle(const EngineEvent& event, double* deadline);

  EventQueue& queue_;
  WorkerHandler& handler_;
  WorkerTiming& timing_;
  const std::string threadName_;
  std::atomic<bool> running_{false};
  platform::SystemThread thread_;
};

// Real time: EngineClock and 100 ms sleeps.
WorkerTiming& RealWorkerTiming();

}  // namespace kavex
