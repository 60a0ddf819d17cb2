#pragma once
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "output/output_timing.h"
#include "platform/sync.h"
#include "platform/system_thread.h"

namespace kavex {

// The thread that keeps a virtual camera supplied: while a program reads the camera it ticks every
// 10 ms (20 ticks, then it asks again whether anyone still reads), otherwise it looks every 100 ms.
// Its sleeps end at once when it is stopped, so closing an output never waits out a sleep. The
// sleeps are measured on the timing's clock.
// Thread: Start and Stop on the output's owner thread; the callbacks run on the feeder thread.
class OutputFeeder {
 public:
  static constexpr int kTicksPerCheck = 20;
  static constexpr int kTickSleepMs = 10;
  static constexpr int kIdleSleepMs = 100;

  // threadName: what the feeder thread is called, for debuggers and process viewers.
  OutputFeeder(std::function<bool()> consumerActive, std::function<bool()> tick, std::string threadName = "kavex-feed",
               OutputTiming timing = {});
  ~OutputFeeder();
  OutputFeeder(const OutputFeeder&) = delete;
  OutputFeeder& operator=(const OutputFeeder&) = delete;

  // Throws std::system_error when no thread can be started.
  void Start();
  void Stop();
  bool running() const { return running_.load(); }
  // A wait inside a tick (feeder thread only) that Stop ends at once, as it ends the feeder's own
  // sleeps. False when stopped.
  bool SleepMs(int ms);

 private:
  void Run();

  std::function<bool()> consumerActive_;
  std::function<bool()> tick_;
  const std::string threadName_;
  const OutputTiming timing_;
  std::atomic<bool> running_{false};
  platform::Mutex sleepMutex_;
  platform::ConditionVariable wake_;
  platform::SystemThread thread_;
};

}  // namespace kavex
