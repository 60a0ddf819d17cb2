#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "protocol/receive_loop.h"

namespace kavex {

// Takes what the stream has in one read of up to kCapacity bytes and hands it out as the receive
// loop asks for it, header by payload. A phone's stream is many small messages (audio, acks,
// status) among the pictures, and each socket call is a wineserver request under Wine: without
// this every message costs a wait and two reads of its own. A request of at least kCapacity bytes
// with nothing held goes straight to the stream, so a picture is not copied twice. What was read
// ahead is handed out before the stream's end is reported, so a goodbye followed by a close is
// never lost.
// Thread: the receive loop's only.
class ReadAheadSource final : public ByteSource {
 public:
  static constexpr size_t kCapacity = size_t{64} * 1024;

  explicit ReadAheadSource(ByteSource& stream);

  Wait WaitReadable(int timeoutMs) override;
  Received Receive(uint8_t* into, size_t wanted) override;

 private:
  ByteSource& stream_;
  std::unique_ptr<uint8_t[]> buffer_;  // null when it could not be had: every call goes through
  size_t start_ = 0;                   // what is held: [start_, end_)
  size_t end_ = 0;
};

}  // namespace kavex
