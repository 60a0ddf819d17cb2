// Framing of the receive loop, driven through a TCP transport by a phone end on the loopback.
#include "protocol/receive_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "loopback_peer.h"
#include "platform/address_watch.h"
#include "common/error_log.h"
#include "recording_listener.h"
#include "settings_fixture.h"
#include "transport/tcp_transport.h"

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

TEST_F(ReceiveLoop, StreamTrickledByteByByteIsAssembled) {
  TcpTransport transport(owner_, 10.0);
  auto peer = Connect(transport);
  ASSERT_TRUE(peer);
  std::vector<uint8_t> stream = loopback::Message(1, 20, 5);
  const std::vector<uint8_t> headerOnly = loopback::Message(2, 4);
  const std::vector<uint8_t> last = loopback::Message(3, 9, 100);
  stream.insert(stream.end(), headerOnly.begin(), headerOnly.end());
  stream.insert(stream.end(), last.begin(), last.end());
  for (uint8_t byte : stream) {
    ASSERT_TRUE(peer->SendAll(&byte, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(owner_.WaitFor(Kind::kPacket, 3, kWaitMs));
  const auto events = owner_.Events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[1].bytes, loopback::Message(1, 20, 5));
  EXPECT_EQ(events[2].bytes, headerOnly);
  EXPECT_EQ(events[3].bytes, last);
}

TEST_F(ReceiveLoop, TrickledBytesDoNotHoldOffTheSilenceLimit) {
  TcpTransport transport(owner_, 0.5);
  auto peer = Connect(transport);
  ASSERT_TRUE(peer);
  // 60 bytes at one per 100 ms would complete the message after 6 s.
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    for (uint8_t byte : loopback::Message(6, 60)) {
      if (stop || !peer->SendAll(&byte, 1)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  const bool ended = owner_.WaitForEnd(4000);
  stop = true;
  trickle.join();
  ASSERT_TRUE(ended) << "silence limit was reset by bytes of an incomplete message";
  EXPECT_EQ(owner_.Count(Kind::kClosed), 1u);
  EXPECT_EQ(owner_.Count(Kind::kPacket), 0u);
  EXPECT_EQ(owner_.Count(Kind::kConnected), 0u);
}

TEST_F(ReceiveLoop, EachCompleteMessageRestartsTheSilenceLimitUntilSilenceCloses) {
  TcpTransport transport(owner_, 1.0);
  auto peer = Connect(transport);
  ASSERT_TRUE(peer);
  // 12 messages over 1.8 s: longer than the limit altogether, never between two messages.
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(peer->SendAll(loopback::Message(4, 4)));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  ASSERT_TRUE(owner_.WaitForEnd(kWaitMs));
  const auto events = owner_.Events();
  ASSERT_EQ(events.size(), 14u);
  for (size_t i = 1; i <= 12; ++i) ExpectPacket(events[i], 4, 4);
  EXPECT_EQ(events.back().kind, Kind::kClosed);
  EXPECT_TRUE(peer->WaitForEnd(kWaitMs)) << "socket left open";
}

TEST_F(ReceiveLoop, OnConnectedComesOnceRightBeforeTheFirstPacket) {
  std::atomic<bool> firstMessageSent{false};
  bool firstSentAtConnected = false;
  owner_.onConnected = [&] { firstSentAtConnected = firstMessageSent.load(); };
  TcpTransport transport(owner_, 10.0);
  auto peer = Connect(transport);
  ASSERT_TRUE(peer);
  const std::vector<uint8_t> first = loopback::Message(3, 12, 40);
  ASSERT_TRUE(peer->SendAll(first.data(), 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // room for an early callback
  firstMessageSent = true;
  ASSERT_TRUE(peer->SendAll(first.data() + 2, first.size() - 2));
  ASSERT_TRUE(peer->SendAll(loopback::Message(4, 4)));
  ASSERT_TRUE(owner_.WaitFor(Kind::kPacket, 2, kWaitMs));

  const auto events = owner_.Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind, Kind::kConnected);
  EXPECT_EQ(events[1].bytes, first);
  ExpectPacket(events[2], 4, 4);
  EXPECT_TRUE(firstSentAtConnected) << "OnConnected before the first message was complete";
}

TEST_F(ReceiveLoop, SilenceWithoutAnyMessageEndsClosedAndZeroLimitNeverDoes) {
  {
    TcpTransport transport(owner_, 0.5);
    auto peer = Connect(transport);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(owner_.WaitForEnd(kWaitMs));
    ASSERT_EQ(owner_.Events().size(), 1u);
    EXPECT_EQ(owner_.Events()[0].kind, Kind::kClosed);
  }
  RecordingListener owner;
  TcpTransport transport(owner, 0.0);
  auto peer = Connect(transport);
  ASSERT_TRUE(peer);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  ASSERT_TRUE(peer->SendAll(loopback::Message(2, 8)));
  ASSERT_TRUE(owner.WaitFor(Kind::kPacket, 1, kWaitMs));
  EXPECT_EQ(owner.Count(Kind::kClosed) + owner.Count(Kind::kFailed), 0u);
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

// A phone says goodbye and closes; the engine's next acknowledgement fails before the receive thread
// has read the goodbye. The goodbye still reaches its handler before the connection ends as failed
// (the session's handling of the goodbye keeps the phone Idle). A stream that ends during the
// drain, a reset included (after the failed send took the error, the reset reads as an end), is a
// failure, never a normal close. A failed send with nothing left to read fails the connection, and
// a phone that keeps sending does not keep a connection whose sends fail alive.
TEST(ReceiveLoopAfterFailedSend, MessagesAlreadyReceivedAreHandledFirst) {
  std::atomic<bool> open{true};
  std::atomic<bool> sendFailed{true};
  ReceiveLoopState state;
  state.open = &open;
  state.sendFailed = &sendFailed;
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
  EXPECT_EQ(RunReceiveLoop(resetAfterVideo, state, ReceiveLoopRecords{}, connection, reset),
            ReceiveOutcome::kFailed)
      << "a connection whose send failed and which then broke ended as a normal close";
  EXPECT_EQ(reset.Count(Kind::kPacket), 1u);

  SilentBytes silent;
  RecordingListener quiet;
  EXPECT_EQ(RunReceiveLoop(silent, state, ReceiveLoopRecords{}, connection, quiet),
            ReceiveOutcome::kFailed);
  EXPECT_EQ(quiet.Count(Kind::kPacket), 0u);

  BufferedBytes streaming(loopback::Message(8, 2000, 3), /*endless=*/true);
  RecordingListener flooded;
  EXPECT_EQ(RunReceiveLoop(streaming, state, ReceiveLoopRecords{}, connection, flooded),
            ReceiveOutcome::kFailed);
  EXPECT_GT(flooded.Count(Kind::kPacket), 0u);
}

}  // namespace
}  // namespace kavex
