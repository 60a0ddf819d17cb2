#pragma once
// Engine time that moves only when a test moves it, so time-outs are reached exactly and at once.
// Thread: any (the component reads it on its own threads while the test moves it).
#include <cstdint>
#include <mutex>

#include "platform/clock.h"

namespace kavex {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(double start = 100.0) : now_(start) {}

  // The time, after which it moves on by the step: a component that waits on its own thread for
  // time to pass (in short real slices) then sees it pass without the test's help.
  double Now() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++readings_;
    const double now = now_;
    now_ += step_;
    return now;
  }
  void Advance(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ += seconds;
  }
  void SetStep(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    step_ = seconds;
  }
  // The time without reading it (and without moving it by the step).
  double Peek() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
  }
  // How often the clock was read: a component that read it has reached its time check.
  uint64_t Readings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return readings_;
  }

 private:
  mutable std::mutex mutex_;
  double now_;
  double step_ = 0.0;
  uint64_t readings_ = 0;
};

}  // namespace kavex
