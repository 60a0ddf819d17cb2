#include "media/decoded_frame_pair.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <chrono>

#include "common/error_log.h"
#include "platform/sync.h"
#include "platform/system_thread.h"

namespace kavex {

DecodedFramePair::DecodedFramePair() {
  for (AVFrame*& frame : frames_) {
    frame = av_frame_alloc();
    if (frame == nullptr) ErrorLog::Record(error_codes::kNoPictureFrame);
  }
}

DecodedFramePair::~DecodedFramePair() {
  for (AVFrame*& frame : frames_) av_frame_free(&frame);
}

int DecodedFramePair::AcquireTarget() {
  // Both slots full means the output step has not kept up; give it a moment before a picture is
  // overwritten.
  for (int i = 0; i < kAcquireRetries; ++i) {
    {
      std::lock_guard<platform::Mutex> lock(mutex_);
      if (states_[0] == State::kFree || states_[1] == State::kFree) break;
    }
    platform::SleepFor(std::chrono::milliseconds(1));
  }
  std::lock_guard<platform::Mutex> lock(mutex_);
  int slot = 0;
  if (states_[0] == State::kFree) {
    slot = 0;
  } else if (states_[1] == State::kFree) {
    slot = 1;
  } else {
    slot = OlderSlot();
  }
  states_[slot] = State::kBusy;
  return slot;
}

void DecodedFramePair::MarkReady(int slot, float time) {
  std::lock_guard<platform::Mutex> lock(mutex_);
  states_[slot & 1] = State::kReady;
  times_[slot & 1] = time;
}

void DecodedFramePair::Release(int slot) {
  std::lock_guard<platform::Mutex> lock(mutex_);
  states_[slot & 1] = State::kFree;
  times_[slot & 1] = 0.0f;
}

void DecodedFramePair::FreeAll() {
  std::lock_guard<platform::Mutex> lock(mutex_);
  for (int slot = 0; slot < 2; ++slot) {
    states_[slot] = State::kFree;
    times_[slot] = 0.0f;
  }
}

int DecodedFramePair::TakeReady() {
  std::lock_guard<platform::Mutex> lock(mutex_);
  const bool ready0 = states_[0] == State::kReady;
  const bool ready1 = states_[1] == State::kReady;
  int slot = 0;
  if (ready0 && ready1) {
    slot = OlderSlot();
  } else if (ready0) {
    slot = 0;
  } else if (ready1) {
    slot = 1;
  } else {
    return -1;
  }
  states_[slot] = State::kBusy;
  return slot;
}

DecodedFramePair::State DecodedFramePair::state(int slot) const {
  std::lock_guard<platform::Mutex> lock(mutex_);
  return states_[slot & 1];
}

float DecodedFramePair::time(int slot) const {
  std::lock_guard<platform::Mutex> lock(mutex_);
  return times_[slot & 1];
}

int DecodedFramePair::OlderSlot() const { return times_[1] <= times_[0] ? 1 : 0; }

}  // namespace kavex
