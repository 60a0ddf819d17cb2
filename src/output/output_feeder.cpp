#include "output/output_feeder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "common/engine_thread.h"
#include "common/error_log.h"
#include "platform/sync.h"

namespace kavex {

OutputFeeder::OutputFeeder(std::function<bool()> consumerActive, std::function<bool()> tick, std::string threadName,
                           OutputTiming timing)
    : consumerActive_(std::move(consumerActive)),
      tick_(std::move(tick)),
      threadName_(std::move(threadName)),
      timing_(timing) {}

OutputFeeder::~OutputFeeder() { Stop(); }

void OutputFeeder::Start() {
  if (thread_.joinable()) return;
  running_.store(true);
  try {
    thread_ = StartEngineThread(threadName_, error_codes::kFeederThrew, [this] { Run(); });
  } catch (...) {
    running_.store(false);
    throw;
  }
}

void OutputFeeder::Stop() {
  {
    std::lock_guard<platform::Mutex> lock(sleepMutex_);
    running_.store(false);
  }
  wake_.notify_all();
  JoinEngineThread(thread_);
}

void OutputFeeder::Run() {
  while (running_.load()) {
    try {
      if (consumerActive_()) {
        for (int i = 0; i < kTicksPerCheck && running_.load(); ++i) {
          tick_();
          if (!SleepMs(kTickSleepMs)) break;
        }
      } else {
        SleepMs(kIdleSleepMs);
      }
    } catch (...) {
      // Out of memory while drawing or handing over: the camera is tried again after a pause.
      ErrorLog::Record(error_codes::kFeederThrew);
      SleepMs(kIdleSleepMs);
    }
  }
}

bool OutputFeeder::SleepMs(int ms) {
  Clock& clock = *timing_.clock;
  const double end = clock.Now() + ms / 1000.0;
  std::unique_lock<platform::Mutex> lock(sleepMutex_);
  while (running_.load()) {
    // Less than a millisecond short is the timers' grain, not time still to wait; and a clock that
    // went back never stretches a pause past what was asked.
    const double remainingMs = std::min(static_cast<double>(ms), (end - clock.Now()) * 1000.0);
    if (remainingMs < 1.0) break;
    int sliceMs = static_cast<int>(std::ceil(remainingMs));
    if (timing_.pollMs > 0) sliceMs = std::min(sliceMs, timing_.pollMs);
    wake_.wait_for(lock, std::chrono::milliseconds(sliceMs), [this] { return !running_.load(); });
  }
  return running_.load();
}

}  // namespace kavex
