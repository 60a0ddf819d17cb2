#include "protocol/receive_loop.h"

#include <memory>
#include <new>
#include <string>

#include "common/error_log.h"
#include "platform/clock.h"
#include "protocol/wire_header.h"

namespace kavex {

namespace {

// Flags and the silence limit are looked at least this often.
constexpr int kPollMs = 100;
// After a failed send, how long messages already received are still handled.
constexpr double kDrainSeconds = 0.25;

bool IsSet(const std::atomic<bool>* flag) { return flag != nullptr && flag->load(); }

uint32_t HeaderWord(const uint8_t* message) {
  return static_cast<uint32_t>(message[0]) | static_cast<uint32_t>(message[1]) << 8 |
         static_cast<uint32_t>(message[2]) << 16 | static_cast<uint32_t>(message[3]) << 24;
}

}  // namespace

ReceiveOutcome RunReceiveLoop(ByteSource& source, const ReceiveLoopState& state, const ReceiveLoopRecords& records,
                              PhoneConnection& connection, TransportListener& listener) {
  // 4,000,000 bytes is a lot of a 32-bit address space: running out ends this connection only.
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[WireHeader::kMaxReceivedLength]);
  if (!buffer) return ReceiveOutcome::kFailed;

  Clock& clock = state.clock != nullptr ? *state.clock : EngineClock::AsClock();
  size_t held = 0;
  double lastCompleteTime = clock.Now();
  uint32_t lastLength = 0;
  unsigned lastType = 0;
  bool connectedReported = false;
  double drainUntil = 0.0;  // set when a failed send is first seen

  for (;;) {
    if (state.open == nullptr || !state.open->load() || IsSet(state.streamClosed)) return ReceiveOutcome::kClosed;
    // A failed send ends the connection as failed, but what the phone sent before is handled
    // first: a phone that says goodbye and closes makes the engine's next send fail, and its
    // goodbye, already received, must not be lost to that. Only what is readable at once counts,
    // for a short while, so a phone that keeps sending cannot hold a broken connection open.
    bool draining = false;
    if (IsSet(state.sendFailed)) {
      const double now = clock.Now();
      if (drainUntil == 0.0) drainUntil = now + kDrainSeconds;
      if (now > drainUntil) return ReceiveOutcome::kFailed;
      draining = true;
    }
    // Measured from the last complete message: a peer trickling bytes does not keep it alive.
    if (state.silenceTimeoutSeconds > 0.0 && clock.Now() - lastCompleteTime > state.silenceTimeoutSeconds)
      return ReceiveOutcome::kClosed;

    size_t wanted = WireHeader::kSize;
    if (held >= WireHeader::kSize) {
      const uint32_t header = HeaderWord(buffer.get());
      const uint32_t length = WireHeader::Length(header);
      const unsigned type = WireHeader::Type(header);
      if (length > WireHeader::kMaxReceivedLength) {
        std::string detail = std::to_string(length) + "." + std::to_string(type);
        if (records.lastSentType != nullptr) {
          detail += "-L" + std::to_string(records.lastSentType->load()) + "-i" + std::to_string(held) + "." +
                    std::to_string(lastLength) + "." + std::to_string(lastType);
        }
        ErrorLog::Record(records.oversize, detail);
        return ReceiveOutcome::kFailed;
      }
      if (length < WireHeader::kSize) {
        // The header cannot even cover itself: there is no payload for a handler to read, and the
        // stream carries no marker to find the next message by, so the connection is done.
        ErrorLog::Record(records.shortHeader, std::to_string(length) + "." + std::to_string(type));
        return ReceiveOutcome::kFailed;
      }
      wanted = length;
    }

    const ByteSource::Wait wait = source.WaitReadable(draining ? 0 : kPollMs);
    if (wait.status == ByteSource::Wait::Status::kError) {
      if (!wait.interrupted) {
        ErrorLog::Record(records.waitError, std::to_string(wait.error));
      }
      return ReceiveOutcome::kFailed;
    }
    if (wait.status == ByteSource::Wait::Status::kNothing) {
      if (draining) return ReceiveOutcome::kFailed;
      continue;
    }

    // Never more than the message being assembled: the buffer holds exactly one message.
    const ByteSource::Received got = source.Receive(buffer.get() + held, wanted - held);
    if (got.status == ByteSource::Received::Status::kEnded) {
      // After a failed send the connection has failed; the drain only hands over what had
      // arrived. However the stream ends then (a reset may read as a plain end once the failed
      // send has taken its error), the end is the failure's, not a normal close; a phone's goodbye
      // handled meanwhile still makes its session end normally.
      return draining ? ReceiveOutcome::kFailed : ReceiveOutcome::kClosed;
    }
    if (got.status == ByteSource::Received::Status::kNothing) continue;
    held += got.count;

    if (held < WireHeader::kSize) continue;
    const uint32_t header = HeaderWord(buffer.get());
    const uint32_t length = WireHeader::Length(header);
    // A header just completed is checked at the top of the next pass.
    if (length < WireHeader::kSize || held < length) continue;
    if (!state.open->load()) continue;

    if (!connectedReported) {
      connectedReported = true;
      listener.OnConnected(connection);
    }
    lastLength = length;
    lastType = WireHeader::Type(header);
    listener.OnPacket(connection, buffer.get(), length);
    held = 0;
    lastCompleteTime = clock.Now();
  }
}

}  // namespace kavex
