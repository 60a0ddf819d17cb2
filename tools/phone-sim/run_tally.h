#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "wire.h"

namespace phonesim {

// The figures of the whole run, across every session, for the end-of-run summary. Unlike the
// recorder's counts, `clear` never resets them: a demo or benchmark reads them once at the end.
// Thread: any; one mutex, a leaf (taken under a session's send lock, never around a call out).
class RunTally {
 public:
  // The acknowledgement times are averaged over the newest ones only: the first pictures of a
  // stream pay for the decoder's start and would hide the steady state.
  static constexpr size_t kAckWindow = 30;

  // A send that left whole. `bytes` counts under its type when its header's length is its size;
  // anything else (raw bytes, broken headers) counts as other. `streamed`: the stream sent it.
  void Sent(const std::vector<uint8_t>& bytes, bool streamed);
  // A whole message from the engine; acknowledgements and format requests are read as received,
  // whatever the session made of them.
  void Received(const std::vector<uint8_t>& message);
  void PasscodeVerdict(bool accepted);
  void Complaint();

  // One "key value" line per figure; per-type lines only for types that occurred.
  std::vector<std::string> Lines() const;

 private:
  mutable std::mutex mutex_;
  std::array<uint64_t, 256> sentByType_{};
  std::array<uint64_t, 256> receivedByType_{};
  uint64_t sent_ = 0;
  uint64_t sentOther_ = 0;
  uint64_t received_ = 0;
  uint64_t videoPackets_ = 0;
  uint64_t audioPackets_ = 0;
  std::deque<std::pair<float, float>> recentAcks_;  // decode and delivery seconds
  bool formatSeen_ = false;
  uint32_t lastCodec_ = 0;
  wire::VideoFormat lastFormat_;
  uint64_t passcodeAccepted_ = 0;
  uint64_t passcodeRejected_ = 0;
  uint64_t complaints_ = 0;
};

}  // namespace phonesim
