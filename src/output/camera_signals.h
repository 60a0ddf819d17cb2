#pragma once
#include <cstdint>
#include <memory>

namespace kavex {
namespace platform {
class NamedEvent;
class NamedMutex;
}  // namespace platform

// The named mutex and event one camera shares with its driver, in either driver mode: the mutex
// orders the engine's format and slot decisions against the driver's, the event tells the driver
// (or the feeder) that a picture is ready. Either may be missing: the output still runs, with every
// wait on a missing mutex failing and a missing event never set.
// Thread: opened and closed on the output's owner thread; used from the feeder, decoder and host
// threads in between (the objects themselves are safe to share).
class CameraSignals {
 public:
  static constexpr uint32_t kMutexWaitMs = 1000;
  static constexpr uint32_t kEventWaitMs = 500;

  CameraSignals();
  ~CameraSignals();
  CameraSignals(const CameraSignals&) = delete;
  CameraSignals& operator=(const CameraSignals&) = delete;

  // Creates or opens camera `index`'s objects (indexes above 3 share those of 3); one that cannot
  // be had is recorded with the system's reason.
  void Open(int index);
  void Close();

  // True when the mutex is now held, within kMutexWaitMs.
  bool WaitMutex();
  void ReleaseMutex();
  void SetEvent();
  void ResetEvent();
  // False at once without an event.
  bool WaitEvent(uint32_t timeoutMs);
  bool hasEvent() const { return event_ != nullptr; }

 private:
  std::unique_ptr<platform::NamedMutex> mutex_;
  std::unique_ptr<platform::NamedEvent> event_;
};

// Holds a camera's named mutex for one scope, if it could be had within the time limit.
class CameraMutexHold {
 public:
  explicit CameraMutexHold(CameraSignals& signals) : signals_(signals), held_(signals.WaitMutex()) {}
  ~CameraMutexHold() {
    if (held_) signals_.ReleaseMutex();
  }
  CameraMutexHold(const CameraMutexHold&) = delete;
  CameraMutexHold& operator=(const CameraMutexHold&) = delete;
  bool held() const { return held_; }

 private:
  CameraSignals& signals_;
  bool held_;
};

}  // namespace kavex
