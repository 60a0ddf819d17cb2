#pragma once
#include <mutex>
#include "platform/sync.h"

struct AVFrame;

namespace kavex {

// The two decoded-picture slots shared by decoding and the output step: the decoder fills one
// while the other may still wait to be delivered. Each slot is free, busy (being decoded into or
// delivered) or ready (decoded, not yet delivered), with the picture's time. Owns both frames, for
// the instance's whole life.
// Thread: the decoder thread, which also runs the output step; the instance frees the slots between
// two decoders. The mutex guards states and times; a frame is used without it by whoever holds its
// slot busy.
class DecodedFramePair {
 public:
  enum class State { kFree = 0, kBusy = 1, kReady = 2 };
  // AcquireTarget's patience when no slot is free: this many 1 ms sleeps.
  static constexpr int kAcquireRetries = 100;

  DecodedFramePair();
  ~DecodedFramePair();
  DecodedFramePair(const DecodedFramePair&) = delete;
  DecodedFramePair& operator=(const DecodedFramePair&) = delete;

  // False when either frame could not be allocated (already recorded in the error log).
  bool valid() const { return frames_[0] != nullptr && frames_[1] != nullptr; }
  AVFrame* frame(int slot) const { return frames_[slot & 1]; }

  // The slot to decode into, marked busy: a free one (slot 0 first), waiting up to about 100 ms for
  // one; after that the one holding the older picture (slot 1 on equal times), which is lost.
  int AcquireTarget();
  void MarkReady(int slot, float time);
  // The slot becomes free with time 0.
  void Release(int slot);
  void FreeAll();
  // The ready slot to deliver, marked busy, or -1 when none is ready. Of two, the older picture
  // (slot 1 on equal times).
  int TakeReady();

  State state(int slot) const;
  float time(int slot) const;

 private:
  // Of two slots in the same state: the one holding the older picture, slot 1 on equal times.
  int OlderSlot() const;

  AVFrame* frames_[2] = {nullptr, nullptr};
  mutable platform::Mutex mutex_;
  State states_[2] = {State::kFree, State::kFree};
  float times_[2] = {0.0f, 0.0f};
};

}  // namespace kavex
