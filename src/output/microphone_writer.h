#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "media/audio_thinning.h"

namespace kavex {
namespace platform {
class Device;
}

// Writes decoded sound to the virtual microphone driver and thins it while the driver's backlog stays
// high. Keeps the fill levels the driver reported after the last 100 successful writes.
// Thread: Write runs on the receive thread of the instance's current connection (one at a time);
// SetDevice runs on the opening or closing thread while no connection feeds the instance.
class MicrophoneWriter {
 public:
  // Most samples gathered for one write request (40 ms at 48 kHz).
  static constexpr size_t kMaxSamplesPerRequest = 1920;

  // device: owned by the caller, null while no microphone is open (sound is then dropped).
  void SetDevice(platform::Device* device) { device_.store(device); }

  // One decoded packet. Samples past the first 1,920 kept ones go out in further requests, each
  // at most 1,920 samples, with the same thinning positions as one long write would have.
  void Write(const int16_t* samples, size_t count);

  // For tests: the recorded history and how many writes have succeeded.
  uint32_t historyAt(int slot) const { return history_[slot % audio_thinning::kHistoryLength]; }
  uint32_t writeCount() const { return writeCount_; }

 private:
  // Sends one request of kept samples; on success records the driver's level.
  void SendRequest(platform::Device& device, const int16_t* samples, size_t count);

  std::atomic<platform::Device*> device_{nullptr};
  uint32_t history_[audio_thinning::kHistoryLength] = {};
  uint32_t writeCount_ = 0;
};

}  // namespace kavex
