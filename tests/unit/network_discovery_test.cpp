// Network discovery: the announcement block, the platform's adapter list and datagram socket, and
// the discovery thread hearing real multicast datagrams on the pc side of the test network.
//
// The datagrams are sent from this process out of pc0 with multicast loopback, so the discovery in
// the same process hears them (its sender address is then the pc's own). Every case uses phone
// identifiers of its own, so datagrams from other test processes never count.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "announcement_sender.h"
#include "broker/phone_broker.h"
#include "common/error_log.h"
#include "discovery/announcement_socket.h"
#include "discovery/dns_sd_discovery.h"
#include "discovery/network_discovery.h"
#include "discovery/phone_list.h"
#include "instance/engine_instance.h"
#include "instance/instance_registry.h"
#include "platform/adapters.h"
#include "platform/address_watch.h"
#include "platform/datagram_socket.h"
#include "protocol/phone_announcement.h"
#include "recording_connection.h"
#include "session/phone_session.h"
#include "settings_fixture.h"
#include "sighting_recorder.h"

#if !defined(_WIN32)
#include <net/if.h>
#endif

namespace kavex {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 8000;  // a pass is about 1.5 s here; generous for sanitizers and Wine
constexpr uint8_t kPcLinkLocal[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x00, 0x6b, 0x76, 0xff, 0xfe, 0x78, 0x00, 0x01};

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool InTestNetwork() { return !Env("KAVEX_NETNS_PC").empty() && !Env("KAVEX_PC_ADDR").empty(); }

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Identifiers no other process sends: a random prefix per process, the caller's tag at the end.
PhoneId UniqueId(uint8_t tag) {
  static const uint64_t prefix = [] {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device() ^
           static_cast<uint64_t>(Clock::now().time_since_epoch().count());
  }();
  PhoneId id;
  std::memcpy(id.bytes.data(), &prefix, sizeof prefix);
  id.bytes[8] = 0xd1;
  id.bytes[15] = tag;
  return id;
}

// An announcement block of `size` bytes whose header claims `headerLength` and `type`.
std::vector<uint8_t> Block(const PhoneId& id, uint16_t kind, const std::string& name, size_t size = 280,
                           uint32_t headerLength = 280, uint8_t type = 1) {
  std::vector<uint8_t> block(size, 0);
  const uint32_t header = (static_cast<uint32_t>(type) << 24) | (headerLength & 0xffffffu);
  for (int i = 0; i < 4 && i < static_cast<int>(size); ++i) block[i] = static_cast<uint8_t>(header >> (8 * i));
  if (size >= 20) std::memcpy(block.data() + 4, id.data(), 16);
  if (size >= 24) {
    block[20] = static_cast<uint8_t>(kind);
    block[21] = static_cast<uint8_t>(kind >> 8);
    block[22] = 0xee;  // not read
    block[23] = 0xff;
  }
  if (size > 24) std::memcpy(block.data() + 24, name.data(), std::min(name.size(), size - 24));
  return block;
}

// ---------------------------------------------------------------------------------------------
// The block

TEST(PhoneAnnouncement, ReadsIdentifierKindAndNameOfAWholeBlock) {
  const PhoneId id = UniqueId(1);
  const std::vector<uint8_t> block = Block(id, 0x1234, "Kitchen phone");
  const auto parsed = ParsePhoneAnnouncement(block.data(), block.size());
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->id, id);
  EXPECT_EQ(parsed->kind, 0x1234) << "u16 at 20, little-endian; bytes 22-23 are not part of it";
  EXPECT_EQ(parsed->name, "Kitchen phone");
}

TEST(PhoneAnnouncement, AcceptsLongerDatagramsAndLongerHeaderLengths) {
  const PhoneId id = UniqueId(2);
  std::vector<uint8_t> longer = Block(id, 2, "A", 300, 300);
  longer[290] = 'x';  // bytes after the block are ignored
  ASSERT_TRUE(ParsePhoneAnnouncement(longer.data(), longer.size()).has_value());
  EXPECT_EQ(ParsePhoneAnnouncement(longer.data(), longer.size())->name, "A");
  // The header's length need only be at least the block's; the datagram may be shorter than it.
  const std::vector<uint8_t> claimsMore = Block(id, 2, "B", 280, 600);
  ASSERT_TRUE(ParsePhoneAnnouncement(claimsMore.data(), claimsMore.size()).has_value());
  const std::vector<uint8_t> maxLength = Block(id, 2, "C", 280, 0xffffff);
  EXPECT_TRUE(ParsePhoneAnnouncement(maxLength.data(), maxLength.size()).has_value());
}

TEST(PhoneAnnouncement, RejectsShortBlocksShortHeaderLengthsAndOtherTypes) {
  const PhoneId id = UniqueId(3);
  const std::vector<uint8_t> short279 = Block(id, 2, "short", 279, 279);
  EXPECT_FALSE(ParsePhoneAnnouncement(short279.data(), short279.size()).has_value());
  const std::vector<uint8_t> short279ClaimingMore = Block(id, 2, "short", 279, 280);
  EXPECT_FALSE(ParsePhoneAnnouncement(short279ClaimingMore.data(), short279ClaimingMore.size()).has_value());
  const std::vector<uint8_t> header279 = Block(id, 2, "header", 300, 279);
  EXPECT_FALSE(ParsePhoneAnnouncement(header279.data(), header279.size()).has_value());
  const std::vector<uint8_t> goodbye = Block(id, 2, "type", 280, 280, 2);
  EXPECT_FALSE(ParsePhoneAnnouncement(goodbye.data(), goodbye.size()).has_value());
  const std::vector<uint8_t> type0 = Block(id, 2, "type", 280, 280, 0);
  EXPECT_FALSE(ParsePhoneAnnouncement(type0.data(), type0.size()).has_value());
  // Type 1 in the high byte only: a length of 0x01000118 would be another type entirely.
  const std::vector<uint8_t> type257 = Block(id, 2, "type", 280, 280, 0x81);
  EXPECT_FALSE(ParsePhoneAnnouncement(type257.data(), type257.size()).has_value());
  EXPECT_FALSE(ParsePhoneAnnouncement(nullptr, 280).has_value());
}

TEST(PhoneAnnouncement, NameStopsAtItsFirstNulAndNeverExceeds255Bytes) {
  const PhoneId id = UniqueId(4);
  std::vector<uint8_t> noNul = Block(id, 2, "");
  std::memset(noNul.data() + 24, 'n', 256);
  const auto full = ParsePhoneAnnouncement(noNul.data(), noNul.size());
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(full->name, std::string(255, 'n'));

  std::vector<uint8_t> early = Block(id, 2, "ten chars!");
  std::memset(early.data() + 35, 'j', 100);  // after the NUL: not part of the name
  EXPECT_EQ(ParsePhoneAnnouncement(early.data(), early.size())->name, "ten chars!");

  const std::vector<uint8_t> empty = Block(id, 2, "");
  EXPECT_EQ(ParsePhoneAnnouncement(empty.data(), empty.size())->name, "");
}

// The type-1 message of a session is read by the same rules.
TEST(PhoneAnnouncement, SessionMessageOfType1FollowsTheSameRules) {
  PhoneList::Instance().Clear();
  std::shared_ptr<EngineInstance> instance =
      EngineInstance::Create(1, InstanceRegistry::Broker(), InstanceRegistry::Cameras());
  const PhoneId phone = UniqueId(5);
  InstanceRegistry::Broker().OnPhoneFound(
      PhoneSighting::Network(phone, 2, "Before", SocketAddress::Ipv4(198, 18, 0, 2, 0), 4699));
  RecordingConnection connection(phone, SocketAddress::Ipv4(198, 18, 0, 2, 4699));
  PhoneSession session(*instance, InstanceRegistry::Broker(), phone);

  const std::vector<uint8_t> runt = Block(phone, 2, "Runt", 279, 279);
  session.OnPacket(connection, runt.data(), runt.size());
  EXPECT_EQ(PhoneList::Instance().GetPhoneName(phone), "Before");

  std::vector<uint8_t> noNul = Block(phone, 2, "");
  std::memset(noNul.data() + 24, 's', 256);
  session.OnPacket(connection, noNul.data(), noNul.size());
  EXPECT_EQ(PhoneList::Instance().GetPhoneName(phone), std::string(255, 's'));
  instance->Destroy();
  PhoneList::Instance().Clear();
}

// ---------------------------------------------------------------------------------------------
// The platform seam

// The pc side's link-local address as the adapter list reports it (its index is the one groups
// are joined on and the scope a peer heard on pc0 carries).
bool FindPcLinkLocal(platform::AdapterAddress* found) {
  std::vector<platform::AdapterAddress> adapters;
  if (!platform::ListActiveAdapterAddresses(&adapters)) return false;
  for (const platform::AdapterAddress& adapter : adapters) {
    if (adapter.address.family == SocketAddress::Family::kIpv6 &&
        std::memcmp(adapter.address.address.data(), kPcLinkLocal, 16) == 0) {
      *found = adapter;
      return true;
    }
  }
  return false;
}

TEST(AdapterList, ListsThePcLinkOnlyWithUsableIndexes) {
  if (!InTestNetwork()) GTEST_SKIP() << "runs only inside the test namespace";
  platform::SocketLibrary sockets;
  std::vector<platform::AdapterAddress> adapters;
  ASSERT_TRUE(platform::ListActiveAdapterAddresses(&adapters));

  int ipv4 = 0;
  int ipv6 = 0;
  for (const platform::AdapterAddress& adapter : adapters) {
    SCOPED_TRACE(adapter.adapterName + " " + adapter.address.ToString());
    EXPECT_NE(adapter.interfaceIndex, 0u);
    if (adapter.address.family == SocketAddress::Family::kIpv4) {
      ++ipv4;
      EXPECT_EQ(adapter.address, SocketAddress::Ipv4(198, 18, 0, 1, 0)) << "loopback is never listed";
    } else {
      ++ipv6;
      ASSERT_EQ(adapter.address.family, SocketAddress::Family::kIpv6);
      EXPECT_EQ(std::memcmp(adapter.address.address.data(), kPcLinkLocal, 16), 0) << "::1 is never listed";
      EXPECT_EQ(adapter.address.scopeId, adapter.interfaceIndex)
          << "a link-local address's scope is its adapter's index";
    }
  }
  EXPECT_EQ(ipv4, 1);
  EXPECT_EQ(ipv6, 1);
#if !defined(_WIN32)
  platform::AdapterAddress pc;
  ASSERT_TRUE(FindPcLinkLocal(&pc));
  EXPECT_EQ(pc.interfaceIndex, if_nametoindex(Env("KAVEX_PC_IF").c_str()));
#endif
}

// A unicast datagram to the seam's socket on loopback, from a plain OS socket.
class DatagramSocketTest : public ::testing::Test {
 protected:
  static constexpr uint16_t kPort = 47982;
  void SetUp() override {
    socket = platform::DatagramSocket::Create(SocketAddress::Family::kIpv4);
    ASSERT_TRUE(socket.valid());
    ASSERT_TRUE(socket.SetTimeouts(500));
    ASSERT_TRUE(socket.Bind(SocketAddress::Ipv4(127, 0, 0, 1, kPort)));
  }
  platform::SocketLibrary library;
  platform::DatagramSocket socket;
};

TEST_F(DatagramSocketTest, ReceiveWaitsForItsTimeOutThenFails) {
  uint8_t buffer[560];
  SocketAddress source;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(socket.ReceiveFrom(buffer, sizeof buffer, &source), -1);
  const long long waited = MillisecondsSince(start);
  EXPECT_GE(waited, 400);
  EXPECT_LE(waited, 2500);
}

// Winsock reports a datagram that does not fit as an error; BSD sockets would cut it silently.
// The seam makes both an error, and the next datagram is read whole.
TEST_F(DatagramSocketTest, DatagramsLongerThanTheBufferAreErrorsAndTheNextOneIsRead) {
  AnnouncementSender plain;  // the seam cannot send: the engine never does
  ASSERT_TRUE(plain.OpenIpv4("127.0.0.1")) << plain.error();
  ASSERT_TRUE(plain.SendTo("127.0.0.1", kPort, std::vector<uint8_t>(600, 7))) << plain.error();
  ASSERT_TRUE(plain.SendTo("127.0.0.1", kPort, std::vector<uint8_t>(560, 9))) << plain.error();

  uint8_t buffer[560];
  SocketAddress source;
  EXPECT_EQ(socket.ReceiveFrom(buffer, sizeof buffer, &source), -1) << "600 bytes do not fit 560";
  ASSERT_EQ(socket.ReceiveFrom(buffer, sizeof buffer, &source), 560);
  EXPECT_EQ(buffer[559], 9);
  EXPECT_EQ(source, SocketAddress::Ipv4(127, 0, 0, 1, plain.localPort()));
}

// ---------------------------------------------------------------------------------------------
// The discovery thread

using Report = HeardSighting;

// Writes down every report; optionally enters it into the shared phone list the way instance 0
// does.
class RecordingPhoneListener : public SightingRecorder {
 public:
  explicit RecordingPhoneListener(bool intoPhoneList = false) : intoPhoneList_(intoPhoneList) {}

  void OnPhoneFound(const PhoneSighting& sighting) override {
    if (intoPhoneList_)
      PhoneList::Instance().ReportNetworkPhone(sighting.id, sighting.kind, sighting.name, sighting.peer, sighting.port);
    SightingRecorder::OnPhoneFound(sighting);
  }

  // The first report of this phone from this family.
  bool WaitFor(const PhoneId& id, SocketAddress::Family family, Report* found, int timeoutMs = kWaitMs) {
    return SightingRecorder::WaitFor(
        [&](const Report& report) { return report.id == id && report.peer.family == family; }, timeoutMs, found);
  }
  size_t CountFor(const PhoneId& id) const {
    return CountIf([&](const Report& report) { return report.id == id; });
  }

 private:
  const bool intoPhoneList_;
};

// Stands in for the DNS-SD browser: counts how the discovery thread drives it.
class CountingDnsSd : public DnsSdDiscovery {
 public:
  struct Counts {
    int starts = 0;
    int services = 0;
    int ends = 0;
    int resets = 0;
    int servicesAfterEnd = 0;
    bool runningAtStart = false;
    PhoneSightingListener* listener = nullptr;
    std::vector<Clock::time_point> serviceTimes;
  };

  explicit CountingDnsSd(std::shared_ptr<std::mutex> mutex, std::shared_ptr<Counts> counts)
      : mutex_(std::move(mutex)), counts_(std::move(counts)) {}

  void Start(PhoneSightingListener& listener, const std::atomic<bool>& running) override {
    std::lock_guard<std::mutex> lock(*mutex_);
    ++counts_->starts;
    counts_->runningAtStart = running.load();
    counts_->listener = &listener;
    open_ = true;
  }
  void Service() override {
    std::lock_guard<std::mutex> lock(*mutex_);
    ++counts_->services;
    if (!open_) ++counts_->servicesAfterEnd;
    counts_->serviceTimes.push_back(Clock::now());
  }
  void End() override {
    std::lock_guard<std::mutex> lock(*mutex_);
    ++counts_->ends;
    open_ = false;
  }
  void ResetBrowseBudget() override {
    std::lock_guard<std::mutex> lock(*mutex_);
    ++counts_->resets;
  }

 private:
  std::shared_ptr<std::mutex> mutex_;
  std::shared_ptr<Counts> counts_;
  bool open_ = false;
};

class NetworkDiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InTestNetwork()) GTEST_SKIP() << "runs only inside the test namespace";
    PhoneList::Instance().Clear();
    ErrorLog::RecordError("setup", 0);  // makes sure the key exists
    settings_fixture::DeleteErrorValue();
    ASSERT_TRUE(FindPcLinkLocal(&pcLinkLocal)) << "pc0 has no link-local address in the adapter list";
    ASSERT_TRUE(v4.OpenIpv4(Env("KAVEX_PC_ADDR"))) << v4.error();
    ASSERT_TRUE(v6.OpenIpv6(pcLinkLocal.interfaceIndex)) << v6.error();
  }
  void TearDown() override {
    PhoneList::Instance().Clear();
    settings_fixture::DeleteErrorValue();
  }

  // Sends the datagram until the listener has heard `until` from that family (the first pass may
  // start after the first datagram went out).
  bool SendUntilHeard(AnnouncementSender& sender, const std::vector<std::vector<uint8_t>>& datagrams,
                      RecordingPhoneListener& listener, const PhoneId& until, SocketAddress::Family family,
                      Report* found) {
    const Clock::time_point start = Clock::now();
    while (MillisecondsSince(start) < kWaitMs) {
      for (const std::vector<uint8_t>& datagram : datagrams)
        if (!sender.Send(datagram)) ADD_FAILURE() << sender.error();
      if (listener.WaitFor(until, family, found, 700)) return true;
    }
    return false;
  }

  platform::SocketLibrary library;
  platform::AdapterAddress pcLinkLocal;
  AnnouncementSender v4;
  AnnouncementSender v6;
};

TEST_F(NetworkDiscoveryTest, Ipv4AnnouncementEntersThePhoneAtItsSenderOnTheSessionPort) {
  RecordingPhoneListener listener(true);
  NetworkDiscovery discovery(nullptr);
  discovery.Start(&listener);
  EXPECT_TRUE(discovery.running());

  const PhoneId id = UniqueId(10);
  Report report;
  ASSERT_TRUE(SendUntilHeard(v4, {Block(id, 0x0a02, "Four")}, listener, id, SocketAddress::Family::kIpv4, &report));
  EXPECT_EQ(report.kind, 0x0a02);
  EXPECT_EQ(report.name, "Four");
  EXPECT_EQ(report.port, 4699);
  // The source as received: the sender's address and the port it really used.
  ASSERT_NE(v4.localPort(), 4699);
  EXPECT_EQ(report.peer, SocketAddress::Ipv4(198, 18, 0, 1, v4.localPort()));

  std::lock_guard<kavex::platform::Mutex> lock(PhoneList::Instance().lock());
  const PhoneRecord* record = PhoneList::Instance().FindLocked(id);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->ipv4Address, SocketAddress::Ipv4(198, 18, 0, 1, 4699));
  EXPECT_TRUE(record->ipv6Address.empty());
  EXPECT_EQ(record->kind, 0x0a02u);
  EXPECT_EQ(record->name, "Four");
}

TEST_F(NetworkDiscoveryTest, Ipv6LinkLocalAnnouncementKeepsItsScope) {
  RecordingPhoneListener listener(true);
  NetworkDiscovery discovery(nullptr);
  discovery.Start(&listener);

  const PhoneId id = UniqueId(11);
  Report report;
  ASSERT_TRUE(SendUntilHeard(v6, {Block(id, 2, "Six")}, listener, id, SocketAddress::Family::kIpv6, &report));
  EXPECT_EQ(report.port, 4699);
  EXPECT_EQ(report.name, "Six");
  EXPECT_EQ(std::memcmp(report.peer.address.data(), kPcLinkLocal, 16), 0) << report.peer.ToString();
  EXPECT_NE(report.peer.scopeId, 0u) << "a link-local peer is unreachable without its scope";
  EXPECT_EQ(report.peer.scopeId, pcLinkLocal.interfaceIndex) << report.peer.ToString();
  EXPECT_EQ(report.peer.port, v6.localPort());

  SocketAddress expected = report.peer;
  expected.port = 4699;
  std::lock_guard<kavex::platform::Mutex> lock(PhoneList::Instance().lock());
  const PhoneRecord* record = PhoneList::Instance().FindLocked(id);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->ipv6Address, expected) << record->ipv6Address.ToString();
  EXPECT_TRUE(record->ipv4Address.empty());
}

// Each socket reads its datagrams in order, so once the valid one that follows them is heard, the
// malformed ones before it have been read and dropped.
TEST_F(NetworkDiscoveryTest, MalformedAndOversizedDatagramsAddNothing) {
  RecordingPhoneListener listener(true);
  NetworkDiscovery discovery(nullptr);
  discovery.Start(&listener);

  const PhoneId short279 = UniqueId(20);
  const PhoneId header279 = UniqueId(21);
  const PhoneId type2 = UniqueId(22);
  const PhoneId oversized = UniqueId(23);
  const PhoneId runtFirst = UniqueId(24);
  const PhoneId sentinel = UniqueId(25);
  const std::vector<std::vector<uint8_t>> datagrams = {
      Block(short279, 2, "279 bytes", 279, 279),
      Block(header279, 2, "says 279", 300, 279),
      Block(type2, 2, "goodbye", 280, 280, 2),
      Block(oversized, 2, "too long", 600, 600),  // longer than the 560-byte buffer
      Block(runtFirst, 2, "runt", 100, 280),
      Block(sentinel, 2, "valid"),
  };
  Report report;
  ASSERT_TRUE(SendUntilHeard(v4, datagrams, listener, sentinel, SocketAddress::Family::kIpv4, &report));
  // One more round, so that every socket has read a full set.
  ASSERT_TRUE(SendUntilHeard(v6, datagrams, listener, sentinel, SocketAddress::Family::kIpv6, &report));
  EXPECT_EQ(listener.CountFor(short279), 0u);
  EXPECT_EQ(listener.CountFor(header279), 0u);
  EXPECT_EQ(listener.CountFor(type2), 0u);
  EXPECT_EQ(listener.CountFor(oversized), 0u);
  EXPECT_EQ(listener.CountFor(runtFirst), 0u);
  EXPECT_EQ(PhoneList::Instance().GetPhoneName(short279), "Phone") << "no record";
  EXPECT_EQ(PhoneList::Instance().GetPhoneName(header279), "Phone");
  EXPECT_EQ(PhoneList::Instance().GetPhoneName(type2), "Phone");
}

TEST_F(NetworkDiscoveryTest, NameWithoutNulIsCutTo255Characters) {
  RecordingPhoneListener listener(true);
  NetworkDiscovery discovery(nullptr);
  discovery.Start(&listener);

  const PhoneId id = UniqueId(30);
  std::vector<uint8_t> block = Block(id, 2, "");
  std::memset(block.data() + 24, 'w', 256);
  Report report;
  ASSERT_TRUE(SendUntilHeard(v4, {block}, listener, id, SocketAddress::Family::kIpv4, &report));
  EXPECT_EQ(report.name, std::string(255, 'w'));
  EXPECT_EQ(PhoneList::Instance().GetPhoneName(id), std::string(255, 'w'));
}

TEST_F(NetworkDiscoveryTest, RestartAndStopJoinTheThreadAndStopListening) {
  RecordingPhoneListener first;
  RecordingPhoneListener second;
  NetworkDiscovery discovery(nullptr);
  discovery.Start(&first);
  discovery.Start(&first);  // an address change: the old run ends, a new one starts
  EXPECT_TRUE(discovery.running());
  const PhoneId before = UniqueId(40);
  ASSERT_TRUE(SendUntilHeard(v4, {Block(before, 2, "before")}, first, before, SocketAddress::Family::kIpv4, nullptr));

  // The listener is swapped with the restart.
  discovery.Start(&second);
  const PhoneId swapped = UniqueId(41);
  ASSERT_TRUE(
      SendUntilHeard(v4, {Block(swapped, 2, "swapped")}, second, swapped, SocketAddress::Family::kIpv4, nullptr));
  EXPECT_EQ(first.CountFor(swapped), 0u);

  // The stop waits for at most one read time-out and one sleep step.
  const Clock::time_point start = Clock::now();
  discovery.Start(nullptr);
  EXPECT_LE(MillisecondsSince(start), 2000);
  EXPECT_FALSE(discovery.running());
  discovery.Start(nullptr);  // stopping twice is harmless

  const PhoneId after = UniqueId(42);
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(v4.Send(Block(after, 2, "after"))) << v4.error();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  EXPECT_EQ(second.CountFor(after), 0u) << "nothing is heard once stopped";

  discovery.Start(&second);
  ASSERT_TRUE(SendUntilHeard(v4, {Block(after, 2, "after")}, second, after, SocketAddress::Family::kIpv4, nullptr));
  // The destructor stops the running thread.
}

TEST_F(NetworkDiscoveryTest, DnsSdRunsWithEveryThreadRun) {
  auto mutex = std::make_shared<std::mutex>();
  auto counts = std::make_shared<CountingDnsSd::Counts>();
  auto snapshot = [&] {
    std::lock_guard<std::mutex> lock(*mutex);
    return *counts;
  };
  RecordingPhoneListener listener;
  {
    NetworkDiscovery discovery(std::make_unique<CountingDnsSd>(mutex, counts));
    EXPECT_EQ(snapshot().starts, 0) << "idle until started";
    discovery.ResetBrowseBudget();
    EXPECT_EQ(snapshot().resets, 1);

    auto waitUntil = [&](auto done) {
      const Clock::time_point start = Clock::now();
      while (!done(snapshot()) && MillisecondsSince(start) < kWaitMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return snapshot();
    };

    discovery.Start(&listener);
    CountingDnsSd::Counts seen = waitUntil([](const CountingDnsSd::Counts& c) { return c.services >= 3; });
    EXPECT_EQ(seen.starts, 1);
    EXPECT_TRUE(seen.runningAtStart);
    EXPECT_EQ(seen.listener, &listener);
    ASSERT_GE(seen.services, 3) << "serviced once per pass";
    EXPECT_EQ(seen.ends, 0);

    // An idle pass: half a second per socket (two on pc0) plus the half-second sleep.
    for (size_t i = 1; i < seen.serviceTimes.size(); ++i) {
      const auto pass =
          std::chrono::duration_cast<std::chrono::milliseconds>(seen.serviceTimes[i] - seen.serviceTimes[i - 1])
              .count();
      EXPECT_GE(pass, 450) << "pass " << i;
      EXPECT_LE(pass, 4000) << "pass " << i;
    }

    discovery.Start(&listener);
    EXPECT_EQ(snapshot().ends, 1) << "the old run has ended when Start returns";
    seen = waitUntil([](const CountingDnsSd::Counts& c) { return c.starts == 2; });
    EXPECT_EQ(seen.starts, 2) << "the new run starts its own browsing";
    EXPECT_EQ(seen.ends, 1);
  }
  const CountingDnsSd::Counts last = snapshot();
  EXPECT_EQ(last.starts, 2);
  EXPECT_EQ(last.ends, 2) << "the destructor ends the run";
  EXPECT_EQ(last.servicesAfterEnd, 0);
}

// Another program holding port 4698 without address reuse: that family's socket is skipped and
// logged, the other family still hears announcements.
void ExpectBindFailureLogged(SocketAddress::Family blocked, const char* logged, AnnouncementSender& working,
                             SocketAddress::Family workingFamily) {
  SocketAddress any;
  any.family = blocked;
  any.port = kAnnouncementPort;
  platform::DatagramSocket blocker = platform::DatagramSocket::Create(blocked);
  ASSERT_TRUE(blocker.valid());
  if (!blocker.Bind(any)) GTEST_SKIP() << "port 4698 is in use by another test process";

  RecordingPhoneListener listener;
  NetworkDiscovery discovery(nullptr);
  discovery.Start(&listener);
  const PhoneId id = UniqueId(50);
  const Clock::time_point start = Clock::now();
  bool heard = false;
  while (!heard && MillisecondsSince(start) < kWaitMs) {
    ASSERT_TRUE(working.Send(Block(id, 2, "other family"))) << working.error();
    heard = listener.WaitFor(id, workingFamily, nullptr, 700);
  }
  EXPECT_TRUE(heard);
  discovery.Start(nullptr);
  const ErrorLog::StoredEntry entry = ErrorLog::TakeStoredEntry();
  EXPECT_TRUE(entry.deliver);
  EXPECT_EQ(entry.text, logged);
}

TEST_F(NetworkDiscoveryTest, Ipv4BindFailureIsLoggedAndIpv6StillWorks) {
  ExpectBindFailureLogged(SocketAddress::Family::kIpv4, "we:mc:119", v6, SocketAddress::Family::kIpv6);
}

TEST_F(NetworkDiscoveryTest, Ipv6BindFailureIsLoggedAndIpv4StillWorks) {
  ExpectBindFailureLogged(SocketAddress::Family::kIpv6, "we:mc:181", v4, SocketAddress::Family::kIpv4);
}

}  // namespace
}  // namespace kavex
