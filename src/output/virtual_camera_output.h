#pragma once
#include <atomic>
#include <cstdint>

namespace kavex {

// How the camera driver's control changes reach the phone.
// Thread: the output's own threads.
class OutputControlListener {
 public:
  virtual ~OutputControlListener() = default;
  virtual void OnControlValue(int32_t value) = 0;
  virtual void OnControlFlag(bool flag) = 0;
};

// The engine's end of one virtual camera and microphone, selected by the owning instance's index.
// Thread: created, opened and destroyed by the owner's thread; flags are read by the output's
// threads and written by host threads, hence atomic.
//
// The driver contract (finding the devices, the named objects, the shared camera section, the
// feeder thread) is not built yet: until it is, opening succeeds without devices, so an instance can
// run its whole lifecycle.
class VirtualCameraOutput {
 public:
  static constexpr uint32_t kDefaultWidth = 640;
  static constexpr uint32_t kDefaultHeight = 360;
  static constexpr float kDefaultFramesPerSecond = 30.0f;

  VirtualCameraOutput(int ownerIndex, OutputControlListener* controlListener);

  // 0 on success, otherwise the error code the host is given.
  int Open();
  int ownerIndex() const { return ownerIndex_; }
  OutputControlListener* controlListener() const { return controlListener_; }

  void SetBlank(bool blank) { blank_.store(blank); }
  bool blank() const { return blank_.load(); }
  void SetStreaming(bool streaming) { streaming_.store(streaming); }
  bool streaming() const { return streaming_.load(); }

 private:
  const int ownerIndex_;
  OutputControlListener* const controlListener_;
  std::atomic<bool> blank_{false};
  std::atomic<bool> streaming_{false};
};

}  // namespace kavex
