#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/error_codes.h"
#include "platform/clock.h"
#include "protocol/phone_connection.h"

namespace kavex {

// Where a receive loop reads from: a TCP socket, or a stream through the USB multiplexing service.
// Thread: called only on the loop's thread.
class ByteSource {
 public:
  struct Wait {
    enum class Status { kReadable, kNothing, kError };
    Status status = Status::kNothing;
    int error = 0;             // with kError: the socket layer's error code
    bool interrupted = false;  // with kError: an interrupted call rather than a broken socket
  };
  struct Received {
    enum class Status { kData, kNothing, kEnded };
    Status status = Status::kEnded;
    size_t count = 0;  // with kData, at least 1
  };

  virtual ~ByteSource() = default;
  // Waits up to timeoutMs for bytes (or the end of the stream) to be readable. A source whose
  // receive call has its own time limit may answer kReadable at once.
  virtual Wait WaitReadable(int timeoutMs) = 0;
  // Reads at most wanted bytes. kEnded: the peer closed the stream or it broke.
  virtual Received Receive(uint8_t* into, size_t wanted) = 0;
};

// The transport's state that the loop watches between reads. The flags belong to the transport and
// are written by other threads.
struct ReceiveLoopState {
  const std::atomic<bool>* open = nullptr;          // cleared when the owner lets go: ends closed
  const std::atomic<bool>* streamClosed = nullptr;  // optional; set by a local Close: ends closed
  const std::atomic<bool>* sendFailed = nullptr;    // optional; set by a failed send: ends failed
  double silenceTimeoutSeconds = 0.0;               // without a complete message; <= 0: no limit
  Clock* clock = &EngineClock::AsClock();           // what the silence limit and the drain use
};

// What the loop writes to the error log, so each transport keeps its own tags and codes.
struct ReceiveLoopRecords {
  ErrorCode oversize = error_codes::kMessageTooLong;
  // When given, the oversize record also names the type last sent on any such transport, the bytes
  // held and the last complete message: "-L<sent>-i<held>.<length>.<type>".
  const std::atomic<uint8_t>* lastSentType = nullptr;
  ErrorCode waitError = error_codes::kReceiveWaitFailed;
  ErrorCode shortHeader = error_codes::kHeaderTooShort;

  // The records of a stream through the USB multiplexing service: "ub." with 298 (oversize, without
  // the TCP detail) and 299 (a length below 4). The stored record is sent to the next phone as its
  // error report, so it must name the path that failed. The service's receive call waits by itself:
  // that source never reports a failed wait, so there is no wait record of its own.
  static ReceiveLoopRecords Usbmux() {
    ReceiveLoopRecords records;
    records.oversize = error_codes::kUsbMessageTooLong;
    records.shortHeader = error_codes::kUsbHeaderTooShort;
    return records;
  }
};

enum class ReceiveOutcome { kClosed, kFailed };

// Cuts the stream into whole messages and hands each to listener.OnPacket (header included), with
// OnConnected once, right before the first. Returns when the stream or the transport ends; the
// transport turns the outcome into OnClosed / OnFailed.
// Thread: the transport's receive thread; takes no lock. The message buffer (one block of
// WireHeader::kMaxReceivedLength bytes) lives while the loop runs and is reused after each
// OnPacket returns.
ReceiveOutcome RunReceiveLoop(ByteSource& source, const ReceiveLoopState& state, const ReceiveLoopRecords& records,
                              PhoneConnection& connection, TransportListener& listener);

}  // namespace kavex
