// The phone's stream as the engine reads it: the receive loop cuts arbitrary bytes, arriving in
// chunks the input chooses, into messages, and the dispatcher hands every message type to a
// session handler that records what would reach the host and the phone.
//
// Input: 8 bytes of plan, then the stream. Plan byte 0: bit 0 marks the sends as failed after the
// first message (the drain path); bit 1 lets the source answer "nothing yet" between chunks; bit 2
// puts the transports' read-ahead between the loop and the source, where the build has it.
// Plan bytes 1-7, used in turn: the size of each read (0: nothing this time, never twice in a row,
// so every input ends; 0xf0 and above: everything the loop asks for).
//
// Besides the sanitizers' checks: the loop delivers exactly the messages an independent walk of the
// stream finds, in order and byte for byte, however the bytes were split; it fails exactly when
// that walk meets a header that cannot be a message, and records why; nothing handed on is longer
// than the message it came from.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/message_dispatcher.h"
#include "protocol/receive_loop.h"
#include "protocol/wire_header.h"
#include "support/fake_error_log.h"
#include "support/silent_connection.h"
#if __has_include("protocol/read_ahead_source.h")
#include "protocol/read_ahead_source.h"
#define KAVEX_FUZZ_READ_AHEAD 1
#endif

namespace kavex {
namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

constexpr size_t kPlanSize = 8;

// A clock that never moves: the silence limit never fires, and a run depends on its input alone.
class StoppedClock final : public Clock {
 public:
  double Now() override { return 100.0; }
};

class PlannedSource final : public ByteSource {
 public:
  PlannedSource(const uint8_t* plan, const uint8_t* data, size_t size)
      : plan_(plan), data_(data), size_(size), allowNothing_((plan[0] & 2) != 0) {}

  Wait WaitReadable(int) override {
    Wait wait;
    if (allowNothing_ && !saidNothing_ && NextChunk() == 0) {
      saidNothing_ = true;
      return wait;
    }
    wait.status = Wait::Status::kReadable;
    return wait;
  }

  Received Receive(uint8_t* into, size_t wanted) override {
    Received got;
    Check(wanted > 0);
    if (offset_ == size_) return got;  // the phone closed the stream
    size_t chunk = NextChunk();
    if (chunk == 0 && !saidNothing_) {
      saidNothing_ = true;
      got.status = Received::Status::kNothing;
      return got;
    }
    saidNothing_ = false;
    if (chunk == 0) chunk = 1;
    if (chunk > wanted) chunk = wanted;
    if (chunk > size_ - offset_) chunk = size_ - offset_;
    std::memcpy(into, data_ + offset_, chunk);
    offset_ += chunk;
    got.status = Received::Status::kData;
    got.count = chunk;
    return got;
  }

 private:
  size_t NextChunk() {
    const uint8_t b = plan_[1 + step_++ % (kPlanSize - 1)];
    if (b >= 0xf0) return SIZE_MAX;
    return b;
  }

  const uint8_t* plan_;
  const uint8_t* data_;
  const size_t size_;
  const bool allowNothing_;
  size_t offset_ = 0;
  size_t step_ = 0;
  bool saidNothing_ = false;
};

// Counts and last values of what the dispatcher hands on, each checked against the message it
// came from.
class RecordingHandler final : public SessionHandler, public RelayedMessageSink {
 public:
  size_t messageLength = 0;  // the message being dispatched
  size_t calls = 0;
  std::string lastText;
  std::string lastName;
  size_t lastFormats = 0;

  void OnAnnouncement(PhoneConnection&, const PhoneId&, uint16_t, const std::string& name) override {
    Check(name.size() <= 255 && name.size() + 24 < messageLength);
    Check(name.find('\0') == std::string::npos);
    lastName = name;
    ++calls;
  }
  void OnGoodbye(PhoneConnection&) override { ++calls; }
  void OnHello(PhoneConnection&) override { ++calls; }
  void OnStatus(PhoneConnection&) override { ++calls; }
  void OnAudioPacket(PhoneConnection&, const uint8_t* packet, size_t length) override {
    Check(length + 8 == messageLength);
    Touch(packet, length);
    ++calls;
  }
  void OnVideoPacket(PhoneConnection&, float, const uint8_t* data, size_t length) override {
    Check(length + 8 == messageLength);
    Touch(data, length);
    ++calls;
  }
  void OnCapabilities(PhoneConnection&, bool, const std::vector<VideoFormat>& formats) override {
    Check(12 + formats.size() * 12 <= messageLength && formats.size() <= kMaxListedFormats);
    lastFormats = formats.size();
    ++calls;
  }
  void OnPasscodeChallenge(PhoneConnection&, uint64_t) override { ++calls; }
  RelayedMessageSink& relay() override { return *this; }

  void ForwardMessage19(int32_t, int32_t, int32_t, int32_t) override { ++calls; }
  void ForwardMessage20(float, float, float, int32_t) override { ++calls; }
  void ForwardMessage21(float, float, float, float) override { ++calls; }
  void ForwardMessage22(int32_t, int32_t, int32_t, int32_t) override { ++calls; }
  void ForwardMessage25(int32_t, float) override { ++calls; }
  void ForwardPhoneControl(uint32_t, uint32_t) override { ++calls; }
  void ForwardTextList(const std::string& text, int32_t) override {
    // Each text is at most 255 bytes of its 256-byte field, joined by one '/'.
    const size_t fields = (messageLength - 12) / 256;
    Check(text.size() <= (fields == 0 ? 0 : fields * 256 - 1));
    lastText = text;
    ++calls;
  }

 private:
  void Touch(const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; i += 4096) sum_ += data[i];
    if (length > 0) sum_ += data[length - 1];
  }
  volatile uint32_t sum_ = 0;
};

// Receives messages from the loop, compares each with the walk's, and dispatches it.
class Listener final : public TransportListener {
 public:
  Listener(const std::vector<std::pair<size_t, size_t>>& expected, const uint8_t* stream, std::atomic<bool>* sendFailed)
      : expected_(expected), stream_(stream), sendFailed_(sendFailed) {}

  void OnConnected(PhoneConnection&) override {
    Check(!connected_ && delivered_ == 0);
    connected_ = true;
  }
  void OnFailed(PhoneConnection&) override { std::abort(); }  // the transport's business, not the loop's
  void OnClosed(PhoneConnection&) override { std::abort(); }
  void OnPacket(PhoneConnection& connection, const uint8_t* message, size_t length) override {
    Check(connected_ && delivered_ < expected_.size());
    const auto [offset, expectedLength] = expected_[delivered_++];
    Check(length == expectedLength && std::memcmp(message, stream_ + offset, length) == 0);
    handler.messageLength = length;
    DispatchMessage(handler, connection, message, length);
    if (sendFailed_ != nullptr) sendFailed_->store(true);
  }

  size_t delivered() const { return delivered_; }
  RecordingHandler handler;

 private:
  const std::vector<std::pair<size_t, size_t>>& expected_;
  const uint8_t* stream_;
  std::atomic<bool>* sendFailed_;
  bool connected_ = false;
  size_t delivered_ = 0;
};

}  // namespace
}  // namespace kavex

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kavex;
  if (size < kPlanSize) return 0;
  const uint8_t* plan = data;
  const uint8_t* stream = data + kPlanSize;
  const size_t streamSize = size - kPlanSize;
  fuzz::ClearRecorded();

  // The walk: whole messages from the start until the stream ends or a header cannot be one.
  std::vector<std::pair<size_t, size_t>> expected;
  bool badHeader = false;
  for (size_t at = 0; streamSize - at >= WireHeader::kSize;) {
    const uint32_t header = static_cast<uint32_t>(stream[at]) | stream[at + 1] << 8 | stream[at + 2] << 16 |
                            static_cast<uint32_t>(stream[at + 3]) << 24;
    const uint32_t length = WireHeader::Length(header);
    if (length < WireHeader::kSize || length > WireHeader::kMaxReceivedLength) {
      badHeader = true;
      break;
    }
    if (streamSize - at < length) break;
    expected.emplace_back(at, length);
    at += length;
  }

  std::atomic<bool> open{true};
  std::atomic<bool> sendFailed{false};
  StoppedClock clock;
  ReceiveLoopState state;
  state.open = &open;
  state.sendFailed = &sendFailed;
  state.silenceTimeoutSeconds = 5.0;
  state.clock = &clock;
  ReceiveLoopRecords records;
  std::atomic<uint8_t> lastSent{11};
  records.lastSentType = &lastSent;

  PlannedSource planned(plan, stream, streamSize);
  ByteSource* source = &planned;
#ifdef KAVEX_FUZZ_READ_AHEAD
  ReadAheadSource readAhead(planned);
  if ((plan[0] & 4) != 0) source = &readAhead;
#endif
  SilentConnection connection;
  Listener listener(expected, stream, (plan[0] & 1) != 0 ? &sendFailed : nullptr);
  const ReceiveOutcome outcome = RunReceiveLoop(*source, state, records, connection, listener);

  if (sendFailed.load()) {
    // A failed send ends the connection as failed; the drain hands over what is readable at once,
    // so a "nothing yet" may end it before the stream does.
    Check(outcome == ReceiveOutcome::kFailed && listener.delivered() <= expected.size());
    Check(fuzz::Recorded().count <= 1);
  } else if (badHeader) {
    Check(listener.delivered() == expected.size());
    Check(outcome == ReceiveOutcome::kFailed && fuzz::Recorded().count == 1);
    Check(fuzz::Recorded().lastCode == error_codes::kMessageTooLong.code ||
          fuzz::Recorded().lastCode == error_codes::kHeaderTooShort.code);
  } else {
    Check(listener.delivered() == expected.size());
    Check(outcome == ReceiveOutcome::kClosed && fuzz::Recorded().count == 0);
  }
  return 0;
}
