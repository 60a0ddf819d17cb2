// The TCP transport against a phone end on the loopback: connecting, sending, ending.
#include "transport/tcp_transport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "common/error_log.h"
#include "fake_clock.h"
#include "loopback_peer.h"
#include "platform/address_watch.h"
#include "recording_listener.h"
#include "settings_fixture.h"

namespace kavex {
namespace {

using Kind = TransportEvent::Kind;
constexpr int kWaitMs = 6000;  // beyond the 4 s connect and send limits

class TcpTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ErrorLog::RecordError("setup", 0);  // makes sure the key exists
    settings_fixture::DeleteErrorValue();
    ASSERT_TRUE(library_.started());
  }
  void TearDown() override { settings_fixture::DeleteErrorValue(); }

  // Starts the transport on server and waits until a first message from the phone has arrived,
  // so the connection is established and the receive loop runs.
  std::unique_ptr<loopback::Peer> Establish(TcpTransport& transport, loopback::Listener& server,
                                            RecordingListener& owner) {
    EXPECT_TRUE(transport.Start(server.address(), nullptr));
    std::unique_ptr<loopback::Peer> peer = server.Accept(kWaitMs);
    if (!peer || !peer->SendAll(loopback::Message(1, 8)) || !owner.WaitFor(Kind::kPacket, 1, kWaitMs)) {
      ADD_FAILURE() << "connection not established";
      return nullptr;
    }
    return peer;
  }

  platform::SocketLibrary library_;
  RecordingListener owner_;
};

TEST_F(TcpTransportTest, PortWithNothingListeningFailsWithoutClosed) {
  loopback::RefusingPort refusing;
  ASSERT_TRUE(refusing.ok());
  TcpTransport transport(owner_, 10.0);
  ASSERT_TRUE(transport.Start(refusing.address(), nullptr));
  ASSERT_TRUE(owner_.WaitForEnd(kWaitMs));
  ASSERT_EQ(owner_.Events().size(), 1u);
  EXPECT_EQ(owner_.Events()[0].kind, Kind::kFailed);
  const uint8_t message[8] = {8, 0, 0, 3};
  EXPECT_FALSE(transport.Send(message, sizeof message));
}

TEST_F(TcpTransportTest, SendAfterThePhoneClosedReturnsFalse) {
  loopback::Listener server;
  TcpTransport transport(owner_, 10.0);
  auto peer = Establish(transport, server, owner_);
  ASSERT_TRUE(peer);
  const std::vector<uint8_t> reply = loopback::Message(4, 12, 7);
  ASSERT_TRUE(transport.Send(reply.data(), reply.size()));
  std::vector<uint8_t> arrived(reply.size());
  ASSERT_TRUE(peer->ReceiveExactly(arrived.data(), arrived.size(), kWaitMs));
  EXPECT_EQ(arrived, reply);

  // TCP only reports a closed peer on a later send (the first one still lands in the local
  // buffer), but the receive loop sees the end of the stream: once the owner hears of it, the
  // connection refuses every send.
  peer->Close();
  ASSERT_TRUE(owner_.WaitForEnd(kWaitMs));
  EXPECT_EQ(owner_.Count(Kind::kClosed), 1u);
  EXPECT_EQ(owner_.Count(Kind::kFailed), 0u);
  EXPECT_FALSE(transport.Send(reply.data(), reply.size()));
}

TEST_F(TcpTransportTest, LocalCloseEndsTheConnectionAsClosed) {
  loopback::Listener server;
  TcpTransport transport(owner_, 10.0);
  auto peer = Establish(transport, server, owner_);
  ASSERT_TRUE(peer);
  transport.Close();
  ASSERT_TRUE(owner_.WaitForEnd(kWaitMs));
  EXPECT_EQ(owner_.Events().back().kind, Kind::kClosed);
  EXPECT_TRUE(peer->WaitForEnd(kWaitMs));
  const std::vector<uint8_t> message = loopback::Message(4, 8);
  EXPECT_FALSE(transport.Send(message.data(), message.size()));
}

TEST_F(TcpTransportTest, DestroyingWhileTheLoopPollsIsQuickAndSilent) {
  loopback::Listener server;
  auto transport = std::make_unique<TcpTransport>(owner_, 10.0);
  auto peer = Establish(*transport, server, owner_);
  ASSERT_TRUE(peer);
  const auto before = std::chrono::steady_clock::now();
  transport.reset();
  const auto took = std::chrono::steady_clock::now() - before;
  EXPECT_LT(took, std::chrono::seconds(1));  // one 100 ms poll, with room for a loaded machine
  EXPECT_EQ(owner_.Count(Kind::kClosed) + owner_.Count(Kind::kFailed), 0u);
  EXPECT_TRUE(peer->WaitForEnd(kWaitMs)) << "socket left open";
}

TEST_F(TcpTransportTest, OwnerMayDestroyTheTransportFromItsEndCallback) {
  loopback::Listener server;
  auto transport = std::make_shared<TcpTransport>(owner_, 10.0);
  std::shared_ptr<TcpTransport> held = transport;
  owner_.onEnd = [&held] { held.reset(); };  // the last reference goes on the receive thread
  auto peer = Establish(*transport, server, owner_);
  ASSERT_TRUE(peer);
  transport.reset();
  peer->Close();
  ASSERT_TRUE(owner_.WaitForEnd(kWaitMs));
  EXPECT_EQ(held, nullptr);
}

// Checks a stream of messages whose payload bytes count up from a per-type seed; returns how many
// of each of the two types arrived whole.
void ReadMessages(loopback::Peer& peer, size_t totalBytes, uint8_t typeA, uint8_t typeB, size_t* countA,
                  size_t* countB) {
  std::vector<uint8_t> message;
  while (totalBytes > 0) {
    uint8_t header[4];
    ASSERT_TRUE(peer.ReceiveExactly(header, 4, kWaitMs));
    const uint32_t length = header[0] | header[1] << 8 | header[2] << 16;
    ASSERT_TRUE(header[3] == typeA || header[3] == typeB) << "bytes of two messages interleaved";
    ASSERT_GE(length, 4u);
    ASSERT_LE(length, totalBytes);
    message.resize(length - 4);
    ASSERT_TRUE(peer.ReceiveExactly(message.data(), message.size(), kWaitMs));
    for (size_t i = 0; i < message.size(); ++i)
      ASSERT_EQ(message[i], static_cast<uint8_t>(header[3] + i)) << "bytes of two messages interleaved";
    ++*(header[3] == typeA ? countA : countB);
    totalBytes -= length;
  }
}

void SendConcurrently(TcpTransport& transport, loopback::Peer& peer, uint8_t typeA, uint32_t lengthA, uint8_t typeB,
                      uint32_t lengthB, size_t rounds) {
  std::atomic<bool> allSent{true};
  auto sender = [&](uint8_t type, uint32_t length) {
    const std::vector<uint8_t> message = loopback::Message(type, length, type);
    for (size_t i = 0; i < rounds; ++i)
      if (!transport.Send(message.data(), message.size())) allSent = false;
  };
  std::thread a(sender, typeA, lengthA);
  std::thread b(sender, typeB, lengthB);
  size_t countA = 0, countB = 0;
  ReadMessages(peer, rounds * (lengthA + lengthB), typeA, typeB, &countA, &countB);
  a.join();
  b.join();
  EXPECT_TRUE(allSent);
  EXPECT_EQ(countA, rounds);
  EXPECT_EQ(countB, rounds);
}

TEST_F(TcpTransportTest, ConcurrentSendersLeaveWholeMessages) {
  {
    loopback::Listener server;
    TcpTransport transport(owner_, 10.0);
    auto peer = Establish(transport, server, owner_);
    ASSERT_TRUE(peer);
    SendConcurrently(transport, *peer, 12, 12, 24, 24, 1000);
  }
  // Messages far larger than the socket buffers leave in many partial sends: only the send lock
  // keeps the other sender out in between.
  RecordingListener owner;
  loopback::Listener server(false, 16 * 1024);
  TcpTransport transport(owner, 10.0);
  auto peer = Establish(transport, server, owner);
  ASSERT_TRUE(peer);
  SendConcurrently(transport, *peer, 1, 3000000, 2, 5000000, 4);
}

TEST_F(TcpTransportTest, FullSendBufferMakesSendWaitInsteadOfFailing) {
  loopback::Listener server(false, 16 * 1024);
  TcpTransport transport(owner_, 10.0);
  auto peer = Establish(transport, server, owner_);
  ASSERT_TRUE(peer);
  // Far more than the socket buffers on both ends can hold while the phone is not reading.
  std::vector<uint8_t> big(16000000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  std::atomic<bool> done{false};
  bool sent = false;
  std::thread sender([&] {
    sent = transport.Send(big.data(), big.size());
    done = true;
  });
  // Nothing shows a send that waits but its not returning: a send that fails on a full buffer
  // returns at once, well within this.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(done) << "the buffers took everything (or Send gave up): nothing was tested";
  std::vector<uint8_t> arrived(big.size());
  const bool received = peer->ReceiveExactly(arrived.data(), arrived.size(), kWaitMs);
  sender.join();
  EXPECT_TRUE(received);
  EXPECT_TRUE(sent);
  EXPECT_TRUE(arrived == big);
  EXPECT_EQ(owner_.Count(Kind::kFailed), 0u);
}

TEST_F(TcpTransportTest, StopDoesNotWaitOutASendStuckOnAFullBuffer) {
  loopback::Listener server(false, 16 * 1024);
  // The clock stands still, so the send's own 4 s limit can never end it: only the stop can.
  FakeClock clock;
  TcpTransport transport(owner_, 10.0, "kavex-recv", clock);
  auto peer = Establish(transport, server, owner_);
  ASSERT_TRUE(peer);
  const std::vector<uint8_t> big(16000000, 0x42);  // the phone never reads it
  bool sent = false;
  std::thread sender([&] { sent = transport.Send(big.data(), big.size()); });
  // The sender is stuck on the full buffer by now; nothing outside shows when it got there.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto before = std::chrono::steady_clock::now();
  transport.Stop();
  const auto took = std::chrono::steady_clock::now() - before;
  sender.join();
  EXPECT_LT(took, std::chrono::seconds(2));  // not the 4 s send limit
  EXPECT_TRUE(sent);                         // the rest of a message is dropped quietly once the transport is let go
  EXPECT_EQ(owner_.Count(Kind::kClosed) + owner_.Count(Kind::kFailed), 0u);
  const uint8_t message[4] = {4, 0, 0, 2};
  EXPECT_FALSE(transport.Send(message, sizeof message));
}

TEST_F(TcpTransportTest, StartSetsTheFieldsAndRunsOnlyOnce) {
  TcpTransport unusable(owner_, 10.0);
  EXPECT_FALSE(unusable.Start(SocketAddress{}, nullptr));  // no socket for an empty address
  EXPECT_EQ(ErrorLog::TakeStoredEntry().text, "we:so:96");

  loopback::Listener server(true);
  if (!server.ok()) GTEST_SKIP() << "no IPv6 loopback here";
  PhoneId id;
  id.bytes[0] = 0x5a;
  id.bytes[15] = 0xa5;
  TcpTransport transport(owner_, 10.0);
  ASSERT_TRUE(transport.Start(server.address(), &id));
  EXPECT_FALSE(transport.Start(server.address(), nullptr));
  auto peer = server.Accept(kWaitMs);
  ASSERT_TRUE(peer);
  ASSERT_TRUE(peer->SendAll(loopback::Message(1, 8)));
  ASSERT_TRUE(owner_.WaitFor(Kind::kPacket, 1, kWaitMs));
  EXPECT_EQ(transport.phoneId(), id);
  EXPECT_EQ(transport.peerAddress(), server.address());
  EXPECT_FALSE(transport.overUsb());
  EXPECT_EQ(owner_.Count(Kind::kConnected), 1u);
}

// Another instance lets go of this transport (Stop, then its phone identifier) while the owner's
// worker is still inside Start: once Stop has returned, nothing may run, connect or call back, and
// the identifier read meanwhile is whole (TSan checks the fields).
TEST_F(TcpTransportTest, StopRacingStartLeavesNothingRunning) {
  loopback::Listener server;
  ASSERT_TRUE(server.ok());
  PhoneId id;
  id.bytes[0] = 0x77;
  for (int round = 0; round < 50; ++round) {
    RecordingListener owner;
    TcpTransport transport(owner, 10.0);
    std::atomic<bool> go{false};
    std::thread starter([&] {
      while (!go.load()) std::this_thread::yield();
      transport.Start(server.address(), &id);
    });
    go.store(true);
    if (round % 2 == 1) std::this_thread::sleep_for(std::chrono::microseconds(50 * round));
    transport.Stop();
    const PhoneId seen = transport.phoneId();
    EXPECT_TRUE(seen == id || seen.IsZero());
    starter.join();
    // A start that came after the stop must not have set the transport going.
    const uint8_t message[4] = {4, 0, 0, 2};
    EXPECT_FALSE(transport.Send(message, sizeof message)) << "round " << round;
    // Only a connection that should not be there could call back: the accept's wait gives a
    // thread that wrongly went on the chance to connect, and a connection that came, to deliver.
    std::unique_ptr<loopback::Peer> peer = server.Accept(20);
    if (peer && peer->SendAll(loopback::Message(1, 8))) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(owner.Events().size(), 0u) << "round " << round << ": a stopped transport called back";
  }
}

}  // namespace
}  // namespace kavex
