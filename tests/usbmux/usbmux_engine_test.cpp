// The engine's side of the USB multiplexing service (the device monitor and the USB transport)
// against tools/usbmuxd-sim, with the phone's ports played by the test. The same file is built
// against each client library of the service the native build can link (ours and the system's):
// both programs must pass, which is what shows the engine sees the same through either.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "broker/camera_roster.h"
#include "broker/phone_broker.h"
#include "broker/usbmux_device_monitor.h"
#include "common/error_log.h"
#include "discovery/phone_list.h"
#include "fake_clock.h"
#include "instance/engine_instance.h"
#include "instance/instance_registry.h"
#include "protocol/phone_announcement.h"
#include "protocol/relayed_messages.h"
#include "session/phone_session.h"
#include "session/session_listener.h"
#include "sighting_recorder.h"
#include "sim_process.h"
#include "transport/usbmux_transport.h"
#include "wire_peer.h"

namespace kavex {
namespace {

using std::chrono::milliseconds;

// Whether the client this program links gives up its waits as the engine's CallLimits ask (ours
// does; the system's library knows nothing of them): the cases that need it are skipped otherwise.
#ifdef KAVEX_CLIENT_HONOURS_CALL_LIMITS
constexpr bool kClientHonoursLimits = true;
#else
constexpr bool kClientHonoursLimits = false;
#endif

long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// One service for the whole program: the engine subscribes to its events once per process.
class ServiceEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    sim_ = std::make_unique<simtest::SimProcess>(
        USBMUXD_SIM_PATH, std::vector<std::string>{"--quiet", "--tcp", "127.0.0.1:0", "--control", "127.0.0.1:0"});
    const std::string tcp = simtest::FieldOf(sim_->ReadyLine(), "tcp");
    ::setenv("USBMUXD_SOCKET_ADDRESS", tcp.c_str(), 1);
    control_ = std::make_unique<simtest::ControlClient>(sim_->ControlAddress());
  }
  void TearDown() override {
    control_.reset();
    sim_.reset();
  }
  static std::string Command(const std::string& line) { return control_->Command(line); }

 private:
  static std::unique_ptr<simtest::SimProcess> sim_;
  static std::unique_ptr<simtest::ControlClient> control_;
};
std::unique_ptr<simtest::SimProcess> ServiceEnvironment::sim_;
std::unique_ptr<simtest::ControlClient> ServiceEnvironment::control_;
const auto* const kService = ::testing::AddGlobalTestEnvironment(new ServiceEnvironment);

// A device port played by the test: a loopback listener whose every connection is handed to
// `serve` on a thread of its own, and closed when serve returns. Counts the connections.
class DevicePort {
 public:
  explicit DevicePort(std::function<void(int)> serve) : serve_(std::move(serve)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      throw std::runtime_error("no listener");
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] {
      for (;;) {
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0 || stopping_.load()) {
          if (fd >= 0) ::close(fd);
          return;
        }
        accepted_.fetch_add(1);
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.emplace_back([this, fd] {
          serve_(fd);
          ::close(fd);
        });
      }
    });
  }
  ~DevicePort() {
    stopping_.store(true);
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    acceptor_.join();
    for (std::thread& connection : connections_) connection.join();
  }
  uint16_t port() const { return port_; }
  int accepted() const { return accepted_.load(); }
  // Set when serving threads should stop what they do.
  bool stopping() const { return stopping_.load(); }

 private:
  std::function<void(int)> serve_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::vector<std::thread> connections_;
  std::thread acceptor_;
};

bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

PhoneId IdOf(uint8_t first) {
  PhoneId id;
  id.bytes[0] = first;
  id.bytes[15] = 0x5a;
  return id;
}

// The phone's 280-byte block: a type-1 header, identifier, kind.
std::vector<uint8_t> Announcement(const PhoneId& id, uint16_t kind) {
  std::vector<uint8_t> block(PhoneAnnouncement::kSize, 0);
  block[0] = static_cast<uint8_t>(block.size());
  block[1] = static_cast<uint8_t>(block.size() >> 8);
  block[3] = PhoneAnnouncement::kMessageType;
  std::memcpy(&block[4], id.bytes.data(), 16);
  block[20] = static_cast<uint8_t>(kind);
  block[21] = static_cast<uint8_t>(kind >> 8);
  std::memcpy(&block[24], "Cable iPhone", 12);
  return block;
}

// A port that sends `bytes` and then holds the connection until the test ends it or the peer goes.
std::function<void(int)> Answering(std::vector<uint8_t> bytes) {
  return [bytes](int fd) {
    SendAll(fd, bytes);
    char sink[64];
    while (::recv(fd, sink, sizeof sink, 0) > 0) {
    }
  };
}

void Attach(uint32_t id, const std::string& type, const std::string& ports) {
  ASSERT_EQ(ServiceEnvironment::Command("attach " + std::to_string(id) + " 0000000000000000000000000000000000" +
                                        std::to_string(100000 + id) + " " + type + " " + ports),
            "ok");
}
void Detach(uint32_t id) { ServiceEnvironment::Command("detach " + std::to_string(id)); }

template <typename Predicate>
bool WaitUntil(Predicate done, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return true;
}

// A service that stalls, for what the simulator never does: the client's requests reach a
// loopback listener of the test (through USBMUXD_SOCKET_ADDRESS, for as long as it lives). With
// answerAfterMs < 0 it takes every connection and never reads nor answers; otherwise it reads the
// request, answers Result 0 that much later, and then plays a phone that sends a small message
// every 100 ms and never reads. Declared first in a test, so that the engine's side goes before it.
class StallingService {
 public:
  explicit StallingService(int answerAfterMs) : port_([this, answerAfterMs](int fd) { Serve(fd, answerAfterMs); }) {
    if (const char* prior = std::getenv("USBMUXD_SOCKET_ADDRESS")) prior_ = prior;
    ::setenv("USBMUXD_SOCKET_ADDRESS", ("127.0.0.1:" + std::to_string(port_.port())).c_str(), 1);
  }
  ~StallingService() {
    ::setenv("USBMUXD_SOCKET_ADDRESS", prior_.c_str(), 1);
    release_.store(true);  // the connections' threads end; the port joins them
  }
  int accepted() const { return port_.accepted(); }

 private:
  // Waits out ms, or until released: false then.
  bool Pause(int ms) {
    const auto until = std::chrono::steady_clock::now() + milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
      if (release_.load()) return false;
      std::this_thread::sleep_for(milliseconds(10));
    }
    return !release_.load();
  }
  void Serve(int fd, int answerAfterMs) {
    if (answerAfterMs < 0) {
      while (Pause(100)) {
      }
      return;
    }
    uint8_t header[16];
    if (::recv(fd, header, sizeof header, MSG_WAITALL) != static_cast<ssize_t>(sizeof header)) return;
    const uint32_t length = header[0] | header[1] << 8 | header[2] << 16 | static_cast<uint32_t>(header[3]) << 24;
    std::vector<uint8_t> body(length > 16 && length < 65536 ? length - 16 : 0);
    if (!body.empty() && ::recv(fd, body.data(), body.size(), MSG_WAITALL) != static_cast<ssize_t>(body.size())) return;
    if (!Pause(answerAfterMs)) return;
    const std::string plist =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>MessageType</key><string>Result</string><key>Number</key><integer>0</integer></dict></plist>\n";
    std::vector<uint8_t> reply(16, 0);
    const uint32_t total = static_cast<uint32_t>(16 + plist.size());
    for (int i = 0; i < 4; ++i) {
      reply[i] = static_cast<uint8_t>(total >> (8 * i));
      reply[12 + i] = header[12 + i];  // the request's tag
    }
    reply[4] = 1;  // version
    reply[8] = 8;  // a property list
    reply.insert(reply.end(), plist.begin(), plist.end());
    if (!SendAll(fd, reply)) return;
    // Type 4 is the engine's own hello answer: a session passes over it.
    const std::vector<uint8_t> message = {8, 0, 0, 4, 0, 0, 0, 8};
    while (Pause(100) && SendAll(fd, message)) {
    }
  }

  std::string prior_;
  std::atomic<bool> release_{false};
  DevicePort port_;
};

// What a monitor told its listener, in order.
class Heard final : public SightingRecorder {
 public:
  int Count(bool found, uint32_t handle) const {
    return static_cast<int>(
        CountIf([&](const HeardSighting& report) { return report.found == found && report.deviceHandle == handle; }));
  }
};

TEST(UsbmuxMonitor, ReportsPhonesByCableAndNetworkTheirRemovalAndAgainToANewListener) {
  const PhoneId cablePhone = IdOf(0x31);
  const PhoneId networkPhone = IdOf(0x32);
  DevicePort cableProbe(Answering(Announcement(cablePhone, 2)));
  DevicePort cableSession(Answering({}));
  DevicePort networkProbe(Answering(Announcement(networkPhone, 2)));
  Heard heard;
  UsbmuxDeviceTable& table = UsbmuxDeviceTable::Instance();
  {
    UsbmuxDeviceMonitor monitor(&heard);
    Attach(101, "usb", "4697=" + std::to_string(cableProbe.port()) + " 4699=" + std::to_string(cableSession.port()));
    Attach(102, "network", "4697=" + std::to_string(networkProbe.port()));
    ASSERT_TRUE(WaitUntil([&] { return heard.Count(true, 101) == 1 && heard.Count(true, 102) == 1; }, 10000));
    std::vector<HeardSighting> reports = heard.Reports();
    for (const HeardSighting& report : reports) {
      EXPECT_EQ(report.kind, 2);
      EXPECT_EQ(report.id, report.deviceHandle == 101 ? cablePhone : networkPhone);
      EXPECT_EQ(report.cable, report.deviceHandle == 101) << "the service's connection type";
    }
    EXPECT_EQ(cableSession.accepted(), 0) << "an announcement port that answers leaves the session port alone";

    // The service repeating a device changes nothing; a removal of a device it never told of is
    // still passed on, once.
    const size_t devices = table.size();
    usbmuxd_device_info_t again{};
    again.handle = 102;
    table.OnEvent(UE_DEVICE_ADD, again);
    EXPECT_EQ(table.size(), devices);
    usbmuxd_device_info_t unknown{};
    unknown.handle = 999;
    table.OnEvent(UE_DEVICE_REMOVE, unknown);
    Detach(101);
    ASSERT_TRUE(WaitUntil([&] { return heard.Count(false, 101) == 1 && heard.Count(false, 999) == 1; }, 5000));

    Heard second;
    monitor.SetListener(&second);
    ASSERT_EQ(second.Reports().size(), 1u) << "the phones announced so far, at once";
    EXPECT_EQ(second.Reports()[0].deviceHandle, 102u);
    monitor.SetListener(nullptr);
    Detach(102);
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_EQ(second.Count(false, 102), 0) << "no listener, no report";
  }
  EXPECT_EQ(heard.Count(true, 101), 1) << "an announced device is not probed again";
}

// A service that takes the probe's connection and never answers holds the monitor's thread in
// the probe: its destructor (instance 0 going) must not wait for the service's time limits.
TEST(UsbmuxMonitor, GoesWithinASecondWhileTheServiceTakesTheProbeAndNeverAnswers) {
  if (!kClientHonoursLimits) GTEST_SKIP() << "the system's client library cannot be stopped";
  StallingService service(-1);
  Heard heard;
  auto monitor = std::make_unique<UsbmuxDeviceMonitor>(&heard);
  usbmuxd_device_info_t device{};
  device.handle = 141;
  device.conn_type = CONNECTION_TYPE_USB;
  UsbmuxDeviceTable::Instance().OnEvent(UE_DEVICE_ADD, device);
  // The subscription's connection and the probe's.
  EXPECT_TRUE(WaitUntil([&] { return service.accepted() >= 2; }, 5000));
  std::this_thread::sleep_for(milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  monitor.reset();
  EXPECT_LT(MillisecondsSince(start), 2000) << "the monitor waited for the stalled service";
  EXPECT_TRUE(heard.Reports().empty());
}

TEST(UsbmuxMonitor, RetriesEveryIntervalUntilAWholeBlockAndNeverReportsAZeroIdentifier) {
  FakeClock clock;
  std::vector<uint8_t> shortBlock = Announcement(IdOf(0x41), 2);
  shortBlock.resize(100);
  DevicePort shortSession(Answering(shortBlock));  // 4697 refused, 4699 cut short
  DevicePort zeroProbe(Answering(Announcement(PhoneId{}, 2)));
  Heard heard;
  UsbmuxDeviceMonitor::Options options;
  options.clock = &clock;
  UsbmuxDeviceMonitor monitor(&heard, options);
  Attach(111, "usb", "4699=" + std::to_string(shortSession.port()));
  Attach(112, "usb", "");
  Attach(113, "usb", "4697=" + std::to_string(zeroProbe.port()));

  ASSERT_TRUE(WaitUntil([&] { return shortSession.accepted() == 1 && zeroProbe.accepted() == 1; }, 10000));
  std::this_thread::sleep_for(milliseconds(600));
  EXPECT_EQ(shortSession.accepted(), 1) << "not due before its interval";
  clock.Advance(2.0);
  ASSERT_TRUE(WaitUntil([&] { return shortSession.accepted() == 2; }, 5000)) << "a short block is asked for again";
  // The probe's time is taken when its read ends (within 200 ms): the clock moves on only after it.
  std::this_thread::sleep_for(milliseconds(600));
  clock.Advance(2.0);
  ASSERT_TRUE(WaitUntil([&] { return shortSession.accepted() == 3; }, 5000));
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(zeroProbe.accepted(), 1) << "a zero identifier with a kind is kept: not probed again";
  EXPECT_TRUE(heard.Reports().empty()) << "nothing whole, no identifier: nothing to report";
  for (uint32_t id : {111u, 112u, 113u}) Detach(id);
}

// A roster whose first report of a found phone holds its reporting thread (the monitor's) for a
// while, as a busy camera would: a release of the broker's attachment then waits in the monitor's
// join while the next instance 0 attaches.
class SlowRoster final : public CameraRoster {
 public:
  std::vector<CameraSlot> Cameras() override { return std::vector<CameraSlot>(4); }
  void OnPhoneListChanged() override {
    if (holdNext_.exchange(false)) {
      held_.store(true);
      std::this_thread::sleep_for(milliseconds(800));
    }
  }
  void HoldNext() { holdNext_.store(true); }
  bool held() const { return held_.load(); }

 private:
  std::atomic<bool> holdNext_{false};
  std::atomic<bool> held_{false};
};

bool Listed(const PhoneId& id) {
  std::lock_guard<kavex::platform::Mutex> lock(PhoneList::Instance().lock());
  return PhoneList::Instance().FindLocked(id) != nullptr;
}

// An instance 0 torn down late (from a callback, on a teardown thread) releases its attachment
// while its successor attaches: the old monitor's going must not end the new one's subscription,
// or no iPhone is heard of again until instance 0 is made anew.
TEST(UsbmuxBroker, AReleaseOverlappingTheNextAttachLeavesTheNewSubscriptionWorking) {
  const PhoneId first = IdOf(0x51);
  const PhoneId second = IdOf(0x52);
  DevicePort firstProbe(Answering(Announcement(first, 2)));
  DevicePort secondProbe(Answering(Announcement(second, 2)));
  SlowRoster roster;
  PhoneList::Instance().Clear();
  {
    PhoneBroker broker(roster);
    const PhoneBroker::Attachment old = broker.Attach();
    roster.HoldNext();
    Attach(121, "usb", "4697=" + std::to_string(firstProbe.port()));
    ASSERT_TRUE(WaitUntil([&] { return roster.held(); }, 10000));
    std::thread lateTeardown([&] { broker.Release(old); });
    std::this_thread::sleep_for(milliseconds(100));  // the release now waits for the monitor's report
    const PhoneBroker::Attachment next = broker.Attach();
    lateTeardown.join();
    Attach(122, "usb", "4697=" + std::to_string(secondProbe.port()));
    EXPECT_TRUE(WaitUntil([&] { return Listed(first) && Listed(second); }, 10000))
        << "the new attachment hears no device: its subscription was ended by the old one's release";
    broker.Release(next);
  }
  for (uint32_t id : {121u, 122u}) Detach(id);
  PhoneList::Instance().Clear();
}

// What a transport told its owner.
class Owner final : public TransportListener {
 public:
  void OnConnected(PhoneConnection&) override { connected_.fetch_add(1); }
  void OnFailed(PhoneConnection&) override { failed_.fetch_add(1); }
  void OnClosed(PhoneConnection&) override { closed_.fetch_add(1); }
  void OnPacket(PhoneConnection&, const uint8_t* message, size_t length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lengths_.push_back(length);
    intact_ = intact_ && (length < 5 || message[length - 1] == static_cast<uint8_t>(length));
  }
  std::vector<size_t> lengths() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lengths_;
  }
  bool intact() {
    std::lock_guard<std::mutex> lock(mutex_);
    return intact_;
  }
  std::atomic<int> connected_{0}, failed_{0}, closed_{0};

 private:
  std::mutex mutex_;
  std::vector<size_t> lengths_;
  bool intact_ = true;
};

// A message of `length` bytes as the phone frames it (type 8), its last byte the length's low byte.
std::vector<uint8_t> Message(uint32_t length, size_t actualBytes) {
  std::vector<uint8_t> message(actualBytes, 0);
  message[0] = static_cast<uint8_t>(length);
  message[1] = static_cast<uint8_t>(length >> 8);
  message[2] = static_cast<uint8_t>(length >> 16);
  message[3] = 8;
  message.back() = static_cast<uint8_t>(length);
  return message;
}

TEST(UsbmuxTransport, TakesAMessageOfTheWholeBufferAndEndsOnOneByteMore) {
  ErrorLog::TakeStoredEntry();
  std::vector<uint8_t> stream = Message(4000000, 4000000);
  const std::vector<uint8_t> tooLong = Message(4000001, 16);
  stream.insert(stream.end(), tooLong.begin(), tooLong.end());
  DevicePort session(Answering(stream));
  Attach(121, "usb", "4699=" + std::to_string(session.port()));
  Owner owner;
  UsbmuxTransport transport(owner, 121, true, IdOf(0x51));
  ASSERT_TRUE(transport.Open());
  EXPECT_TRUE(transport.overUsb());
  ASSERT_TRUE(transport.StartReceiving());
  ASSERT_TRUE(WaitUntil([&] { return owner.closed_.load() == 1; }, 15000));
  EXPECT_EQ(owner.lengths(), std::vector<size_t>{4000000});
  EXPECT_TRUE(owner.intact());
  EXPECT_EQ(owner.connected_.load(), 1);
  EXPECT_EQ(owner.failed_.load(), 0) << "a stream through the service only ever closes";
  EXPECT_EQ(ErrorLog::TakeStoredEntry().text, "we:ub.4000001.8:298");
  EXPECT_FALSE(transport.Send(stream.data(), 16)) << "an ended stream sends nothing";
  Detach(121);
}

TEST(UsbmuxTransport, ClosesWhenThePhoneDoesOrFallsSilentAndNotWhenLetGo) {
  FakeClock clock;
  std::atomic<int> received{0};
  DevicePort session([&](int fd) {
    // Echoes the size of what it gets as one small message per message, then closes when the
    // engine's side sends a message of type 0x7f.
    for (;;) {
      uint8_t header[4];
      if (::recv(fd, header, 4, MSG_WAITALL) != 4) return;
      const uint32_t length = header[0] | header[1] << 8 | header[2] << 16;
      std::vector<uint8_t> body(length - 4);
      if (!body.empty() && ::recv(fd, body.data(), body.size(), MSG_WAITALL) != static_cast<ssize_t>(body.size()))
        return;
      received.fetch_add(1);
      if (header[3] == 0x7f) return;
      SendAll(fd, Message(8, 8));
    }
  });
  Attach(122, "network", "4699=" + std::to_string(session.port()));

  {  // the phone closes
    Owner owner;
    UsbmuxTransport transport(owner, 122, false, IdOf(0x52), "kavex-recv", clock);
    ASSERT_TRUE(transport.Open());
    EXPECT_FALSE(transport.overUsb());
    ASSERT_TRUE(transport.StartReceiving());
    const std::vector<uint8_t> big = Message(1 << 20, 1 << 20);
    ASSERT_TRUE(transport.Send(big.data(), big.size())) << "a message larger than a socket buffer leaves whole";
    ASSERT_TRUE(WaitUntil([&] { return owner.lengths().size() == 1; }, 5000));
    const std::vector<uint8_t> bye = Message(4, 4);
    std::vector<uint8_t> last = bye;
    last[3] = 0x7f;
    ASSERT_TRUE(transport.Send(last.data(), last.size()));
    ASSERT_TRUE(WaitUntil([&] { return owner.closed_.load() == 1; }, 5000));
  }
  {  // the phone falls silent
    Owner owner;
    UsbmuxTransport transport(owner, 122, false, IdOf(0x52), "kavex-recv", clock);
    ASSERT_TRUE(transport.Open());
    ASSERT_TRUE(transport.StartReceiving());
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(owner.closed_.load(), 0);
    clock.Advance(5.1);
    ASSERT_TRUE(WaitUntil([&] { return owner.closed_.load() == 1; }, 5000));
  }
  {  // let go while the phone is still there
    Owner owner;
    auto transport = std::make_unique<UsbmuxTransport>(owner, 122, false, IdOf(0x52), "kavex-recv", clock);
    ASSERT_TRUE(transport->Open());
    ASSERT_TRUE(transport->StartReceiving());
    const std::vector<uint8_t> ping = Message(6, 6);
    ASSERT_TRUE(transport->Send(ping.data(), ping.size()));
    ASSERT_TRUE(WaitUntil([&] { return owner.lengths().size() == 1; }, 5000));
    transport.reset();
    EXPECT_EQ(owner.closed_.load() + owner.failed_.load(), 0);
  }
  Owner owner;
  UsbmuxTransport refused(owner, 122, false, IdOf(0x52));
  EXPECT_FALSE(refused.Open(4698)) << "a port the device does not serve";
  EXPECT_FALSE(refused.Open()) << "never reopened";
  UsbmuxTransport unknown(owner, 77777, true, IdOf(0x52));
  EXPECT_FALSE(unknown.Open());
  Detach(122);
}

// A phone that stops reading: a send gives up within the transport's limit rather than the
// client's own, and the connection ends, reported as a close, as a failed send ends a TCP one.
// The phone keeps sending all along, so the silence limit has no part in the end.
TEST(UsbmuxTransport, ASendThePhoneNeverTakesGivesUpWithinItsLimitAndEndsTheConnection) {
  if (!kClientHonoursLimits) GTEST_SKIP() << "the system's client library waits its own time";
  StallingService service(0);
  Owner owner;
  UsbmuxTransport transport(owner, 151, true, IdOf(0x71));
  ASSERT_TRUE(transport.Open());
  ASSERT_TRUE(transport.StartReceiving());
  ASSERT_TRUE(WaitUntil([&] { return owner.connected_.load() == 1; }, 5000));
  // Far more than the sockets between the transport and the phone hold.
  const std::vector<uint8_t> picture = Message(64 << 20, 64 << 20);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(transport.Send(picture.data(), picture.size()));
  EXPECT_LT(MillisecondsSince(start), 8000) << "the send waited beyond its 4 s limit";
  EXPECT_TRUE(WaitUntil([&] { return owner.closed_.load() + owner.failed_.load() == 1; }, 3000))
      << "the connection went on after a failed send";
  EXPECT_EQ(owner.closed_.load(), 1);
  const std::vector<uint8_t> ping = Message(6, 6);
  EXPECT_FALSE(transport.Send(ping.data(), ping.size()));
}

// No cameras: the broker's choice is not what these tests look at.
class NoCameras final : public CameraRoster {
 public:
  std::vector<CameraSlot> Cameras() override { return {}; }
  void OnPhoneListChanged() override {}
};

// What a session told its camera: the phone states.
class SessionOwner final : public SessionListener, public RelayedMessageSink {
 public:
  void OnPhoneStateChanged(PhoneState state) override {
    std::lock_guard<std::mutex> lock(mutex_);
    states_.push_back(state);
  }
  void OnSessionEnded() override {}
  void OnStreamOffered(PhoneSession&, PhoneConnection&, bool, const std::vector<VideoFormat>&) override {}
  void OnVideoPacket(float, const uint8_t*, size_t) override {}
  void OnAudioPacket(const uint8_t*, size_t) override {}
  uint64_t PasscodeKey(const PhoneId&) override { return 0; }
  RelayedMessageSink& relay() override { return *this; }
  void ForwardMessage19(int32_t, int32_t, int32_t, int32_t) override {}
  void ForwardMessage20(float, float, float, int32_t) override {}
  void ForwardMessage21(float, float, float, float) override {}
  void ForwardMessage22(int32_t, int32_t, int32_t, int32_t) override {}
  void ForwardMessage25(int32_t, float) override {}
  void ForwardPhoneControl(uint32_t, uint32_t) override {}
  void ForwardTextList(const std::string&, int32_t) override {}
  std::vector<PhoneState> states() {
    std::lock_guard<std::mutex> lock(mutex_);
    return states_;
  }

 private:
  std::mutex mutex_;
  std::vector<PhoneState> states_;
};

// Another camera takes the phone while the service is still opening this camera's stream: its
// worker stops the session, then frees the phone the session names. The stop ends the opening at
// once, not when the service answers, and the phone is left free, never Connecting for good.
TEST(UsbmuxSession, StoppedWhileTheServiceOpensTheStreamEndsAtOnceAndLeavesThePhoneFree) {
  constexpr int kAnswerAfterMs = 3000;
  StallingService service(kAnswerAfterMs);
  NoCameras cameras;
  PhoneBroker broker(cameras);
  const PhoneId phone = IdOf(0x61);
  broker.OnPhoneFound(PhoneSighting::Multiplexer(phone, 2, 131, true));
  ASSERT_EQ(broker.StateOf(phone), PhoneState::kIdle);
  SessionOwner owner;
  PhoneSession session(owner, broker, phone);

  std::atomic<bool> started{true};
  const auto start = std::chrono::steady_clock::now();
  std::thread worker([&] { started.store(session.StartUsbmux(131, true, "kavex-recv")); });
  EXPECT_TRUE(WaitUntil([&] { return service.accepted() == 1; }, 5000));
  std::this_thread::sleep_for(milliseconds(300));
  const auto stopping = std::chrono::steady_clock::now();
  session.Stop();
  const long long stopMs = MillisecondsSince(stopping);
  const PhoneId released = session.phoneId();
  broker.Free(released);
  worker.join();
  const long long startMs = MillisecondsSince(start);

  EXPECT_EQ(released, phone) << "the releaser frees another record than the session's";
  EXPECT_FALSE(started.load()) << "a stopped session went on to start";
  EXPECT_EQ(broker.StateOf(phone), PhoneState::kIdle);
  for (const PhoneState state : owner.states()) EXPECT_NE(state, PhoneState::kConnecting);
  if (kClientHonoursLimits) {
    EXPECT_LT(stopMs, 1500) << "Stop waited for the service's answer";
    EXPECT_LT(startMs, kAnswerAfterMs) << "the opening ran until the service answered";
  }
  PhoneList::Instance().Clear();
}

// Real time, with the worker's start-up naps cut short so that it connects at once.
class QuickTiming final : public WorkerTiming {
 public:
  double Now() override { return EngineClock::Now(); }
  void Sleep100Ms() override { std::this_thread::sleep_for(milliseconds(1)); }
};

// A camera torn down (EUninitialize) while its worker waits for the service to open the phone's
// stream: the teardown ends the opening rather than joining a worker that waits out the service.
TEST(UsbmuxCamera, TeardownWhileTheServiceOpensTheStreamReturnsAtOnce) {
  if (!kClientHonoursLimits) GTEST_SKIP() << "the system's library cannot be stopped";
  StallingService service(-1);
  PhoneList::Instance().Clear();
  const PhoneId phone = IdOf(0x81);
  PhoneList::Instance().ReportUsbmuxPhone(phone, 2, 161, true, "");
  QuickTiming timing;
  std::shared_ptr<EngineInstance> camera =
      EngineInstance::Create(1, InstanceRegistry::Broker(), InstanceRegistry::Cameras(), timing);
  ASSERT_EQ(camera->Open(), 0);
  camera->Push(EngineEvent::Connect(phone));
  ASSERT_TRUE(WaitUntil([&] { return service.accepted() == 1; }, 5000)) << "the worker never asked the service";
  std::this_thread::sleep_for(milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  camera->Destroy();
  EXPECT_LT(MillisecondsSince(start), 2000) << "the teardown waited for the stalled service";
  EXPECT_EQ(PhoneList::Instance().GetPhoneState(phone), PhoneState::kIdle);
  {
    std::lock_guard<kavex::platform::Mutex> lock(PhoneList::Instance().lock());
    EXPECT_EQ(PhoneList::Instance().FindLocked(phone)->usbScore, 0) << "a cancelled opening is no refusal";
  }
  PhoneList::Instance().Clear();
}

}  // namespace
}  // namespace kavex
