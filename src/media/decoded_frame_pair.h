#pragma once
#include <mutex>

struct AVFrame;

namespace kavex {

// The two decoded-picture slots shared by the decoder and the output step: the decoder fills one
// while the output reads the other.
// Thread: the decoder thread; the mutex guards hand-overs between the slots.
class DecodedFramePair {
 public:
  DecodedFramePair();
  ~DecodedFramePair();
  DecodedFramePair(const DecodedFramePair&) = delete;
  DecodedFramePair& operator=(const DecodedFramePair&) = delete;

  // False when either frame could not be allocated (already recorded in the error log).
  bool valid() const { return frames_[0] != nullptr && frames_[1] != nullptr; }
  AVFrame* frame(int slot) const { return frames_[slot & 1]; }
  std::mutex& mutex() { return mutex_; }

 private:
  AVFrame* frames_[2] = {nullptr, nullptr};
  std::mutex mutex_;
};

}  // namespace kavex
