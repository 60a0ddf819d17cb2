// Framing of the receive loop, driven through a TCP transport by a phone end on the loopback.
#include "protocol/receive_loop.h"
#include "protocol/read_ahead_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "common/error_log.h"
#include "fake_clock.h"
#include "loopback_peer.h"
#include "platform/address_watch.h"
#include "recording_listener.h"
#include "settings_fixture.h"
#include "transport/tcp_transport.h"
#include "wait_until.h"

namespace kavex {
namespace {

using Kind = TransportEvent::Kind;
constexpr int kWaitMs = 6000;  // far beyond anything the loop should take

class ReceiveLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    ErrorLog::RecordError("setup", 0);  // makes sure the key exists
    settings_fixture::DeleteErrorValue();
    ASSERT_TRUE(library_.started());
    ASSERT_TRUE(server_.ok());
  }
  void TearDown() override { settings_fixture::DeleteErrorValue(); }

  // A started transport with the phone's end of its connection.
  std::unique_ptr<loopback::Peer> Connect(TcpTransport& transport) {
    EXPECT_TRUE(transport.Start(server_.address(), nullptr));
    std::unique_ptr<loopback::Peer> peer = server_.Accept(kWaitMs);
    EXPECT_NE(peer, nullptr);
    return peer;
  }

  platform::SocketLibrary library_;
  loopback::Listener server_;
  RecordingListener owner_;
};

void ExpectPacket(const TransportEvent& event, uint8_t type, size_t length) {
  EXPECT_EQ(event.kind, Kind::kPacket);
  EXPECT_EQ(event.type, type);
  EXPECT_EQ(event.length, length);
  EXPECT_TRUE(event.payloadCounts);
}

TEST_F(ReceiveLoop, LengthLimitIsFourMillionBytesInclusive) {
  {
    TcpTransport transport(owner_, 10.0);
    auto peer = Connect(transport);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(peer->SendAll(loopback::Message(8, 4000000, 3)));
    ASSERT_TRUE(peer->SendAll(loopback::Message(7, 12, 9)));  // the stream stays aligned after it
    ASSERT_TRUE(owner_.WaitFor(Kind::kPacket, 2, kWaitMs));
    const auto events = owner_.Events();
    ASSERT_EQ(events.size(), 3u);
    ExpectPacket(events[1], 8, 4000000);
    ExpectPacket(events[2], 7, 12);
  }

  // One byte more, after a complete 260-byte message of type 7 and a sent message of type 11.
  RecordingListener owner;
  TcpTransport transport(owner, 10.0);
  auto peer = Connect(transport);
  ASSERT_TRUE(peer);
  ASSERT_TRUE(peer->SendAll(loopback::Message(7, 260)));
  ASSERT_TRUE(owner.WaitFor(Kind::kPacket, 1, kWaitMs));
  const std::vector<uint8_t> request = loopback::Message(11, 16);
  ASSERT_TRUE(transport.Send(request.data(), request.size()));
  std::vector<uint8_t> arrived(request.size());
  ASSERT_TRUE(peer->ReceiveExactly(arrived.data(), arrived.size(), kWaitMs));
  EXPECT_EQ(arrived, request);

  peer->SendAll(loopback::Header(8, 4000001));
  peer->SendAll(loopback::Message(9, 64));  // never read as a message
  ASSERT_TRUE(owner.WaitForEnd(kWaitMs));
  EXPECT_EQ(owner.Count(Kind::kFailed), 1u);
  EXPECT_EQ(owner.Count(Kind::kClosed), 0u);
  EXPECT_EQ(owner.Count(Kind::kPacket), 1u);
  EXPECT_EQ(ErrorLog::TakeStoredEntry().text, "we:so.4000001.8-L11-i4.260.7:202");
}

TEST_F(ReceiveLoop, HeaderLengthBelowFourFailsWithRecordAndDeliversNothing) {
  for (uint32_t length : {0u, 3u}) {
    SCOPED_TRACE(length);
    settings_fixture::DeleteErrorValue();
    RecordingListener owner;
    TcpTransport transport(owner, 10.0);
    auto peer = Connect(transport);
    ASSERT_TRUE(peer);
    peer->SendAll(loopback::Header(5, length));
    peer->SendAll(loopback::Message(5, 12));
    ASSERT_TRUE(owner.WaitForEnd(kWaitMs));
    ASSERT_EQ(owner.Events().size(), 1u);
    EXPECT_EQ(owner.Events()[0].kind, Kind::kFailed);
    EXPECT_EQ(ErrorLog::TakeStoredEntry().text, "we:so." + std::to_string(length) + ".5:229");
  }
}

// What the phone sends, on the fake clock's timeline: each chunk becomes readable at its time, and
// waiting for bytes moves the clock to the next chunk, or by the whole wait when none is due
// within it. After the last chunk the phone is silent, or closes the stream. A loop that has not
// ended after kGiveUpWaits waits is failed, so a fault shows as a failure rather than a hang.
class TimedBytes : public ByteSource {
 public:
  static constexpr int kGiveUpWaits = 100000;
  TimedBytes(FakeClock& clock, size_t maxPerRead, bool closesAtEnd)
      : clock_(clock), maxPerRead_(maxPerRead), closesAtEnd_(closesAtEnd) {}
  void Add(double atSeconds, std::vector<uint8_t> bytes) { chunks_.push_back({atSeconds, std::move(bytes)}); }
  size_t taken() const { return taken_; }

  Wait WaitReadable(int timeoutMs) override {
    Wait wait;
    if (++waits_ > kGiveUpWaits) {
      wait.status = Wait::Status::kError;
      return wait;
    }
    wait.status = Wait::Status::kReadable;
    if (Unread() > 0) return wait;
    const size_t due = started_ ? current_ + 1 : 0;
    if (due >= chunks_.size()) {
      if (closesAtEnd_) return wait;  // the end of the stream is readable
    } else {
      const double now = clock_.Peek();
      if (chunks_[due].at <= now + timeoutMs / 1000.0) {
        if (chunks_[due].at > now) clock_.Advance(chunks_[due].at - now);
        current_ = due;
        position_ = 0;
        started_ = true;
        return wait;
      }
    }
    clock_.Advance(timeoutMs / 1000.0);
    wait.status = Wait::Status::kNothing;
    return wait;
  }
  Received Receive(uint8_t* into, size_t wanted) override {
    Received got;
    if (Unread() == 0) {
      const bool over = started_ ? current_ + 1 >= chunks_.size() : chunks_.empty();
      if (!(over && closesAtEnd_)) got.status = Received::Status::kNothing;
      return got;  // kEnded: the phone closed
    }
    const std::vector<uint8_t>& bytes = chunks_[current_].bytes;
    got.status = Received::Status::kData;
    got.count = std::min({wanted, bytes.size() - position_, maxPerRead_});
    std::copy(bytes.begin() + position_, bytes.begin() + position_ + got.count, into);
    position_ += got.count;
    taken_ += got.count;
    return got;
  }

 private:
  struct Chunk {
    double at;
    std::vector<uint8_t> bytes;
  };
  size_t Unread() const { return started_ ? chunks_[current_].bytes.size() - position_ : 0; }

  FakeClock& clock_;
  const size_t maxPerRead_;
  const bool closesAtEnd_;
  std::vector<Chunk> chunks_;
  size_t current_ = 0;
  size_t position_ = 0;
  bool started_ = false;
  size_t taken_ = 0;
  int waits_ = 0;
};

class NoConnection : public PhoneConnection {
 public:
  bool Send(const uint8_t*, size_t) override { return false; }
  void Close() override {}
  const PhoneId& phoneId() const override { return id_; }
  bool overUsb() const override { return false; }
  const SocketAddress& peerAddress() const override { return address_; }

 private:
  PhoneId id_;
  SocketAddress address_;
};

// The loop alone on the fake clock: the phone's bytes come from a TimedBytes script.
class ReceiveLoopTimed : public ::testing::Test {
 protected:
  ReceiveOutcome Run(TimedBytes& source, double silenceLimit, RecordingListener& owner) {
    ReceiveLoopState state;
    state.open = &open_;
    state.silenceTimeoutSeconds = silenceLimit;
    state.clock = &clock_;
    return RunReceiveLoop(source, state, ReceiveLoopRecords{}, connection_, owner);
  }
  ReceiveOutcome Run(TimedBytes& source, double silenceLimit) { return Run(source, silenceLimit, owner_); }
  double Elapsed() const { return clock_.Peek() - kStart; }

  static constexpr double kStart = 100.0;
  FakeClock clock_{kStart};
  std::atomic<bool> open_{true};
  NoConnection connection_;
  RecordingListener owner_;
};

TEST_F(ReceiveLoopTimed, StreamTrickledByteByByteIsAssembled) {
  std::vector<uint8_t> stream = loopback::Message(1, 20, 5);
  const std::vector<uint8_t> headerOnly = loopback::Message(2, 4);
  const std::vector<uint8_t> last = loopback::Message(3, 9, 100);
  stream.insert(stream.end(), headerOnly.begin(), headerOnly.end());
  stream.insert(stream.end(), last.begin(), last.end());
  TimedBytes source(clock_, 1, /*closesAtEnd=*/true);
  for (size_t i = 0; i < stream.size(); ++i) source.Add(kStart + 0.002 * i, {stream[i]});
  EXPECT_EQ(Run(source, 10.0), ReceiveOutcome::kClosed);
  const auto events = owner_.Events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[1].bytes, loopback::Message(1, 20, 5));
  EXPECT_EQ(events[2].bytes, headerOnly);
  EXPECT_EQ(events[3].bytes, last);
}

TEST_F(ReceiveLoopTimed, TrickledBytesDoNotHoldOffTheSilenceLimit) {
  // 60 bytes at one per 100 ms would complete the message after 6 s.
  TimedBytes source(clock_, 1, /*closesAtEnd=*/false);
  const std::vector<uint8_t> message = loopback::Message(6, 60);
  for (size_t i = 0; i < message.size(); ++i) source.Add(kStart + 0.1 * i, {message[i]});
  EXPECT_EQ(Run(source, 0.5), ReceiveOutcome::kClosed);
  EXPECT_LE(source.taken(), 7u) << "silence limit was reset by bytes of an incomplete message";
  EXPECT_LE(Elapsed(), 0.7);
  EXPECT_EQ(owner_.Count(Kind::kPacket), 0u);
  EXPECT_EQ(owner_.Count(Kind::kConnected), 0u);
}

TEST_F(ReceiveLoopTimed, EachCompleteMessageRestartsTheSilenceLimitUntilSilenceCloses) {
  // 12 messages over 1.8 s: longer than the limit altogether, never between two messages.
  TimedBytes source(clock_, 64, /*closesAtEnd=*/false);
  for (int i = 0; i < 12; ++i) source.Add(kStart + 0.15 * i, loopback::Message(4, 4));
  EXPECT_EQ(Run(source, 1.0), ReceiveOutcome::kClosed);
  const auto events = owner_.Events();
  ASSERT_EQ(events.size(), 13u);
  for (size_t i = 1; i <= 12; ++i) ExpectPacket(events[i], 4, 4);
  // Silence is measured from the last message (at 1.65 s), to within one poll.
  EXPECT_GE(Elapsed(), 1.65 + 1.0 - 1e-6);
  EXPECT_LE(Elapsed(), 1.65 + 1.0 + 0.1 + 1e-6);
}

TEST_F(ReceiveLoopTimed, OnConnectedComesOnceRightBeforeTheFirstPacket) {
  const std::vector<uint8_t> first = loopback::Message(3, 12, 40);
  TimedBytes source(clock_, 64, /*closesAtEnd=*/true);
  source.Add(kStart, {first.begin(), first.begin() + 2});
  source.Add(kStart + 0.3, {first.begin() + 2, first.end()});
  source.Add(kStart + 0.4, loopback::Message(4, 4));
  size_t takenAtConnected = 0;
  owner_.onConnected = [&] { takenAtConnected = source.taken(); };
  EXPECT_EQ(Run(source, 10.0), ReceiveOutcome::kClosed);

  const auto events = owner_.Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind, Kind::kConnected);
  EXPECT_EQ(events[1].bytes, first);
  ExpectPacket(events[2], 4, 4);
  EXPECT_EQ(takenAtConnected, first.size()) << "OnConnected before the first message was complete";
}

TEST_F(ReceiveLoopTimed, SilenceWithoutAnyMessageEndsClosedAndZeroLimitNeverDoes) {
  TimedBytes silent(clock_, 64, /*closesAtEnd=*/false);
  EXPECT_EQ(Run(silent, 0.5), ReceiveOutcome::kClosed);
  EXPECT_TRUE(owner_.Events().empty());
  EXPECT_GE(Elapsed(), 0.5 - 1e-6);
  EXPECT_LE(Elapsed(), 0.6 + 1e-6);

  // Without a limit, a message after a long silence still arrives; the phone's close ends it.
  RecordingListener owner;
  TimedBytes late(clock_, 64, /*closesAtEnd=*/true);
  late.Add(clock_.Peek() + 1000.0, loopback::Message(2, 8));
  EXPECT_EQ(Run(late, 0.0, owner), ReceiveOutcome::kClosed);
  EXPECT_EQ(owner.Count(Kind::kPacket), 1u);
}

// The transport measures its silence limit on the clock it is given, ends the connection as closed
// and closes the socket.
TEST_F(ReceiveLoop, SilenceLimitEndsTheTransportClosedOnItsClock) {
  FakeClock clock;
  TcpTransport transport(owner_, 1.0, "kavex-recv", clock);
  auto peer = Connect(transport);
  ASSERT_TRUE(peer);
  ASSERT_TRUE(peer->SendAll(loopback::Message(4, 4)));
  ASSERT_TRUE(owner_.WaitFor(Kind::kPacket, 1, kWaitMs));  // the limit now runs from this message
  clock.Advance(0.9);
  ASSERT_TRUE(peer->SendAll(loopback::Message(4, 4)));
  ASSERT_TRUE(owner_.WaitFor(Kind::kPacket, 2, kWaitMs)) << "ended before its limit";
  // Two more readings: the loop has taken the message's time and come round to its next check.
  const uint64_t readings = clock.Readings();
  ASSERT_TRUE(testkit::WaitUntil([&] { return clock.Readings() >= readings + 2; }, kWaitMs));
  clock.Advance(1.1);
  ASSERT_TRUE(owner_.WaitForEnd(kWaitMs));
  EXPECT_EQ(owner_.Events().back().kind, Kind::kClosed);
  EXPECT_EQ(owner_.Count(Kind::kPacket), 2u);
  EXPECT_TRUE(peer->WaitForEnd(kWaitMs)) << "socket left open";
}

// Bytes the phone already sent, served without a socket: readable until they run out, then either
// the end of the stream or, for a phone that keeps sending, the same message again and again.
class BufferedBytes : public ByteSource {
 public:
  BufferedBytes(std::vector<uint8_t> bytes, bool endless) : bytes_(std::move(bytes)), endless_(endless) {}
  Wait WaitReadable(int) override {
    if (endless_ && position_ == bytes_.size()) position_ = 0;
    Wait wait;
    wait.status = Wait::Status::kReadable;  // data, or the end of the stream
    return wait;
  }
  Received Receive(uint8_t* into, size_t wanted) override {
    Received got;
    if (position_ == bytes_.size()) return got;  // the phone closed
    got.status = Received::Status::kData;
    got.count = std::min(wanted, bytes_.size() - position_);
    std::copy(bytes_.begin() + position_, bytes_.begin() + position_ + got.count, into);
    position_ += got.count;
    return got;
  }

 private:
  std::vector<uint8_t> bytes_;
  bool endless_;
  size_t position_ = 0;
};

// Nothing readable: what a phone that stopped reading and sending looks like.
class SilentBytes : public ByteSource {
 public:
  Wait WaitReadable(int) override { return Wait{}; }
  Received Receive(uint8_t*, size_t) override { return Received{}; }
};

// A phone says goodbye and closes; the engine's next acknowledgement fails before the receive thread
// has read the goodbye. The goodbye still reaches its handler before the connection ends as failed
// (the session's handling of the goodbye keeps the phone Idle). A stream that ends during the
// drain, a reset included (after the failed send took the error, the reset reads as an end), is a
// failure, never a normal close. A failed send with nothing left to read fails the connection, and
// a phone that keeps sending does not keep a connection whose sends fail alive.
TEST(ReceiveLoopAfterFailedSend, MessagesAlreadyReceivedAreHandledFirst) {
  std::atomic<bool> open{true};
  std::atomic<bool> sendFailed{true};
  // Each look at the clock moves it by a millisecond: the drain's quarter second passes after a
  // few hundred passes of the loop, however fast they run.
  FakeClock clock;
  clock.SetStep(0.001);
  ReceiveLoopState state;
  state.open = &open;
  state.sendFailed = &sendFailed;
  state.clock = &clock;
  NoConnection connection;

  std::vector<uint8_t> sent = loopback::Message(8, 40, 1);
  const std::vector<uint8_t> goodbye = loopback::Header(2, 4);
  sent.insert(sent.end(), goodbye.begin(), goodbye.end());
  BufferedBytes closedAfterGoodbye(sent, /*endless=*/false);
  RecordingListener owner;
  EXPECT_EQ(RunReceiveLoop(closedAfterGoodbye, state, ReceiveLoopRecords{}, connection, owner),
            ReceiveOutcome::kFailed);
  ASSERT_EQ(owner.Count(Kind::kPacket), 2u);
  EXPECT_EQ(owner.Events().back().bytes, goodbye);

  BufferedBytes resetAfterVideo(loopback::Message(8, 40, 2), /*endless=*/false);
  RecordingListener reset;
  EXPECT_EQ(RunReceiveLoop(resetAfterVideo, state, ReceiveLoopRecords{}, connection, reset), ReceiveOutcome::kFailed)
      << "a connection whose send failed and which then broke ended as a normal close";
  EXPECT_EQ(reset.Count(Kind::kPacket), 1u);

  SilentBytes silent;
  RecordingListener quiet;
  EXPECT_EQ(RunReceiveLoop(silent, state, ReceiveLoopRecords{}, connection, quiet), ReceiveOutcome::kFailed);
  EXPECT_EQ(quiet.Count(Kind::kPacket), 0u);

  BufferedBytes streaming(loopback::Message(8, 2000, 3), /*endless=*/true);
  RecordingListener flooded;
  EXPECT_EQ(RunReceiveLoop(streaming, state, ReceiveLoopRecords{}, connection, flooded), ReceiveOutcome::kFailed);
  EXPECT_GT(flooded.Count(Kind::kPacket), 0u);
}

// A stream through the USB multiplexing service ends with records of its own tag: the stored
// record goes to the next phone as its error report, and a TCP tag there would send whoever reads
// it after the wrong transport. A header whose length cannot even cover itself ends the connection
// there too, without a packet.
TEST(ReceiveLoopUsbmuxRecords, EndingsCarryTheUsbTag) {
  std::atomic<bool> open{true};
  ReceiveLoopState state;
  state.open = &open;
  NoConnection connection;
  struct Ending {
    std::vector<uint8_t> bytes;
    std::string record;
  };
  std::vector<uint8_t> shortAfterMessage = loopback::Message(7, 12);
  const std::vector<uint8_t> shortHeader = loopback::Header(5, 2);
  shortAfterMessage.insert(shortAfterMessage.end(), shortHeader.begin(), shortHeader.end());
  const std::vector<uint8_t> next = loopback::Message(5, 12);
  shortAfterMessage.insert(shortAfterMessage.end(), next.begin(), next.end());
  const Ending endings[] = {
      {loopback::Header(8, 4000001), "we:ub.4000001.8:298"},
      {shortAfterMessage, "we:ub.2.5:299"},
      {loopback::Header(9, 0), "we:ub.0.9:299"},
  };
  for (const Ending& ending : endings) {
    SCOPED_TRACE(ending.record);
    ErrorLog::TakeStoredEntry();
    BufferedBytes stream(ending.bytes, /*endless=*/false);
    RecordingListener owner;
    EXPECT_EQ(RunReceiveLoop(stream, state, ReceiveLoopRecords::Usbmux(), connection, owner), ReceiveOutcome::kFailed);
    EXPECT_EQ(owner.Count(Kind::kPacket), ending.bytes == shortAfterMessage ? 1u : 0u);
    EXPECT_EQ(ErrorLog::TakeStoredEntry().text, ending.record);
  }
}

// The read-ahead in front of the stream: a stream of small messages costs a read per 64 KB, not
// two per message; every message arrives whole and in order, also those that straddle a read;
// a picture larger than the read-ahead is read straight into the message; and what was read ahead
// is handed out before the end of the stream.
TEST(ReadAhead, FewReadsForManyMessagesAndNothingLostAtTheEnd) {
  class CountingBytes final : public ByteSource {
   public:
    explicit CountingBytes(std::vector<uint8_t> bytes) : inner_(std::move(bytes), false) {}
    Wait WaitReadable(int timeoutMs) override { return inner_.WaitReadable(timeoutMs); }
    Received Receive(uint8_t* into, size_t wanted) override {
      ++reads;
      largest = std::max(largest, wanted);
      return inner_.Receive(into, wanted);
    }
    int reads = 0;
    size_t largest = 0;

   private:
    BufferedBytes inner_;
  };
  std::vector<uint8_t> sent;
  std::vector<uint8_t> small;  // what the listener keeps: every message but the picture
  for (int n = 0; n < 2000; ++n) {
    const std::vector<uint8_t> message = loopback::Message(7, 60 + n % 7, static_cast<uint8_t>(n));
    sent.insert(sent.end(), message.begin(), message.end());
    small.insert(small.end(), message.begin(), message.end());
  }
  const std::vector<uint8_t> picture = loopback::Message(8, 200000, 9);
  sent.insert(sent.end(), picture.begin(), picture.end());
  const std::vector<uint8_t> goodbye = loopback::Header(2, 4);
  sent.insert(sent.end(), goodbye.begin(), goodbye.end());
  small.insert(small.end(), goodbye.begin(), goodbye.end());

  CountingBytes stream(sent);
  ReadAheadSource source(stream);
  std::atomic<bool> open{true};
  ReceiveLoopState state;
  state.open = &open;
  NoConnection connection;
  RecordingListener owner;
  EXPECT_EQ(RunReceiveLoop(source, state, ReceiveLoopRecords{}, connection, owner), ReceiveOutcome::kClosed);
  std::vector<uint8_t> received;
  for (const auto& event : owner.Events())
    if (event.kind == Kind::kPacket) received.insert(received.end(), event.bytes.begin(), event.bytes.end());
  EXPECT_EQ(owner.Count(Kind::kPacket), 2002u);
  EXPECT_EQ(received, small) << "messages lost, cut or reordered";
  EXPECT_LT(stream.reads, 40) << "the stream was read message by message";
  EXPECT_GE(stream.largest, 200000u - 70000u) << "the picture went through the read-ahead's copy";
}

}  // namespace
}  // namespace kavex
