// The debug bridge watcher against a scripted bridge and a phone's announcement port on loopback:
// what it forwards, which phones it reports found and lost, and how it ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "broker/adb_watcher.h"
#include "broker/announcement_probe.h"
#include "common/error_log.h"
#include "loopback_peer.h"
#include "platform/address_watch.h"
#include "platform/usb_notifications.h"
#include "sighting_recorder.h"

#ifdef _WIN32
#include <windows.h>
#include <dbt.h>
#endif

namespace kavex {
namespace {

constexpr int kWaitMs = 15000;
const char kListing[] = "List of devices attached\r\nR5CT01\tdevice\r\n\r\n";

// A bridge that prints a listing the test sets, records every command, and says whether it exists.
class ScriptedBridge {
 public:
  AdbOutput Run(const std::string& arguments) {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(arguments);
    AdbOutput output;
    output.missing = missing_;
    output.text = missing_ ? "err" : (arguments == "devices" ? listing_ : "");
    return output;
  }
  void SetListing(const std::string& listing) {
    std::lock_guard<std::mutex> lock(mutex_);
    listing_ = listing;
  }
  void SetMissing() { missing_ = true; }
  std::vector<std::string> Commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }

 private:
  std::mutex mutex_;
  std::string listing_ = kListing;
  bool missing_ = false;
  std::vector<std::string> commands_;
};

// The watcher's reports, waited for as long as a bridge pass may take here.
class RecordingListener : public SightingRecorder {
 public:
  bool WaitFor(size_t n) { return SightingRecorder::WaitFor(n, kWaitMs); }
};

PhoneId Id(uint8_t last) {
  PhoneId id;
  id.bytes.fill(0x5a);
  id.bytes[15] = last;
  return id;
}

// A type-1 message of `length` bytes (280 is a whole announcement) naming the phone.
std::vector<uint8_t> Announcement(const PhoneId& id, uint16_t kind, const std::string& name, size_t length) {
  std::vector<uint8_t> block(std::max<size_t>(length, 280), 0);
  block[0] = static_cast<uint8_t>(length);
  block[1] = static_cast<uint8_t>(length >> 8);
  block[3] = 1;
  std::copy(id.bytes.begin(), id.bytes.end(), block.begin() + 4);
  block[20] = static_cast<uint8_t>(kind);
  std::memcpy(block.data() + 24, name.data(), std::min<size_t>(name.size(), 255));
  block.resize(length);
  return block;
}

// The phone's announcement port: each connection gets the next message of `replies` and is closed.
class AnnouncementPort {
 public:
  explicit AnnouncementPort(std::vector<std::vector<uint8_t>> replies)
      : replies_(std::move(replies)), thread_([this] { Serve(); }) {}
  ~AnnouncementPort() {
    stop_ = true;
    thread_.join();
  }
  uint16_t port() const { return listener_.port(); }

 private:
  void Serve() {
    for (size_t next = 0; !stop_ && next < replies_.size();) {
      std::unique_ptr<loopback::Peer> peer = listener_.Accept(100);
      if (peer == nullptr) continue;
      peer->SendAll(replies_[next++]);
      peer->Close();
    }
  }
  loopback::Listener listener_;
  std::vector<std::vector<uint8_t>> replies_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The watcher's probes and the phone's port need the system's socket library up.
class AdbWatcherTest : public ::testing::Test {
  platform::SocketLibrary sockets_;
};

// The probe reads the stream itself: a message of another type before the announcement is passed
// over however it is cut, a long announcement gives its first bytes, and a stream that ends early or
// states an impossible length gives nothing.
TEST_F(AdbWatcherTest, TheProbeFramesThePortsMessagesItself) {
  const std::atomic<bool> running{true};
  const auto probe = [&](const std::vector<uint8_t>& stream, AnnouncementBlock* block) {
    loopback::Listener listener;
    std::thread phone([&] {
      std::unique_ptr<loopback::Peer> peer = listener.Accept(5000);
      if (peer == nullptr) return;
      for (size_t at = 0; at < stream.size(); at += 7) {  // in pieces that cut headers too
        peer->SendAll(
            std::vector<uint8_t>(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                 stream.begin() + static_cast<std::ptrdiff_t>(std::min(at + 7, stream.size()))));
      }
      peer->Close();
    });
    const bool answered = ProbeAnnouncement(listener.address(), 5000, running, block);
    phone.join();
    return answered;
  };
  std::vector<uint8_t> stream(600, 0xee);
  stream[0] = 600 & 0xff;
  stream[1] = 600 >> 8;
  stream[2] = 0;
  stream[3] = 7;
  const std::vector<uint8_t> announcement = Announcement(Id(3), 2, "Pixel", 300);
  stream.insert(stream.end(), announcement.begin(), announcement.end());
  AnnouncementBlock block{};
  ASSERT_TRUE(probe(stream, &block));
  EXPECT_TRUE(std::equal(block.begin(), block.end(), announcement.begin()));
  EXPECT_EQ(ReadAnnouncementBlock(block).id, Id(3));

  stream.resize(stream.size() - 1);  // ends one byte short
  EXPECT_FALSE(probe(stream, &block));
  EXPECT_FALSE(probe({3, 0, 0, 1}, &block)) << "a length shorter than its header";
}

AdbWatcher::Options Scripted(ScriptedBridge& bridge, uint16_t announcementPort) {
  AdbWatcher::Options options;
  options.runner = [&bridge](const std::string& arguments, bool, const std::atomic<bool>&) {
    return bridge.Run(arguments);
  };
  options.passWaitSteps = 3;  // a pass every ~0.3 s instead of 30 s
  options.firstAnnouncementPort = announcementPort;
  options.firstSessionPort = 27100;
  return options;
}

TEST_F(AdbWatcherTest, AnIdentifiedPhoneIsFoundAndLostWithItsIdentifierOnceItStopsAnswering) {
  // Pass 1: a whole announcement (and the close right after it, which must not undo the answer).
  // Pass 2: a type-1 message of 30 bytes: the rest of the block is zero, not the earlier name.
  // Pass 3: nothing answers any more.
  AnnouncementPort phone(
      {Announcement(Id(1), 2, "Cable Phone With A Long Name", 280), Announcement(Id(1), 2, "Cable!", 30)});
  ScriptedBridge bridge;
  RecordingListener listener;
  {
    AdbWatcher watcher(&listener, Scripted(bridge, phone.port()));
    ASSERT_TRUE(listener.WaitFor(2));
    const HeardSighting first = listener.At(0);
    EXPECT_TRUE(first.found);
    EXPECT_EQ(first.id, Id(1));
    EXPECT_EQ(first.kind, 2);
    EXPECT_EQ(first.name, "Cable Phone With A Long Name");
    EXPECT_EQ(first.port, 27100);
    const HeardSighting second = listener.At(1);
    EXPECT_TRUE(second.found);
    EXPECT_EQ(second.name, "Cable!");
    const HeardSighting lost = listener.At(2);
    EXPECT_FALSE(lost.found);
    EXPECT_EQ(lost.id, Id(1));
  }
  const std::vector<std::string> commands = bridge.Commands();
  const std::string announcementForward = "-s R5CT01 forward tcp:" + std::to_string(phone.port()) + " tcp:4697";
  ASSERT_GE(commands.size(), 4u);
  EXPECT_EQ(commands[0], "devices");
  EXPECT_EQ(commands[2], announcementForward);
  EXPECT_EQ(commands[3], "-s R5CT01 forward tcp:27100 tcp:4699");
  // The forwards are made when the device is new, not again while it stays identified: one up to
  // the third pass's listing (the first listing only looks for the bridge).
  auto third = commands.begin();
  for (int listings = 0; third != commands.end() && listings < 4; ++third) listings += *third == "devices";
  EXPECT_EQ(std::count(commands.begin(), third, announcementForward), 1);
  EXPECT_EQ(commands.back(), "kill-server");  // the watcher's end stops the bridge's server
}

// The bridge's server restarted between two passes: the new server lists the same device but has
// none of its forwards, so the phone's probe fails once. The watcher makes the forwards again and
// probes again in the same pass: the phone is found again and never reported lost.
TEST_F(AdbWatcherTest, AnIdentifiedPhoneWhoseProbeFailsOnceIsForwardedAgainAndNotLost) {
  AnnouncementPort phone({Announcement(Id(3), 2, "Three", 280), {}, Announcement(Id(3), 2, "Three", 280)});
  ScriptedBridge bridge;
  RecordingListener listener;
  {
    AdbWatcher watcher(&listener, Scripted(bridge, phone.port()));
    ASSERT_TRUE(listener.WaitFor(1));
    EXPECT_TRUE(listener.At(0).found);
    EXPECT_TRUE(listener.At(1).found);
    EXPECT_EQ(listener.At(1).id, Id(3));
  }
  const std::vector<std::string> commands = bridge.Commands();
  const std::string announcementForward = "-s R5CT01 forward tcp:" + std::to_string(phone.port()) + " tcp:4697";
  // Forwarded when new, then once more for the failed probe, both before the third pass's listing.
  auto third = commands.begin();
  for (int listings = 0; third != commands.end() && listings < 4; ++third) listings += *third == "devices";
  EXPECT_EQ(std::count(commands.begin(), third, announcementForward), 2);
  EXPECT_EQ(std::count(commands.begin(), third, "-s R5CT01 forward tcp:27100 tcp:4699"), 2);
}

// A session refused through a forward asks for a pass: it comes at once instead of after the
// half-minute, but a request right after such a pass waits for the regular one.
TEST_F(AdbWatcherTest, ARequestedPassComesAtOnceButNeverTwiceInARow) {
  const std::vector<uint8_t> block = Announcement(Id(4), 2, "Four", 280);
  AnnouncementPort phone({block, block, block});
  ScriptedBridge bridge;
  RecordingListener listener;
  AdbWatcher::Options options = Scripted(bridge, phone.port());
  options.passWaitSteps = 300;
  AdbWatcher watcher(&listener, options);
  const auto listings = [&bridge] {
    const std::vector<std::string> commands = bridge.Commands();
    return std::count(commands.begin(), commands.end(), std::string("devices"));
  };
  ASSERT_TRUE(listener.WaitFor(0));
  const auto first = listings();  // the bridge's first listing, then the first pass's
  watcher.RequestPass();
  ASSERT_TRUE(listener.WaitFor(1)) << "no pass within 15 s of the request";
  EXPECT_EQ(listings(), first + 1);
  watcher.RequestPass();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(listings(), first + 1) << "a requested pass followed by another";
}

TEST_F(AdbWatcherTest, ADeviceThatNeverAnswersIsLostWithAZeroIdentifierAndProbedAfresh) {
  const loopback::RefusingPort refusing;  // the forward leads nowhere
  ScriptedBridge bridge;
  RecordingListener listener;
  AdbWatcher watcher(&listener, Scripted(bridge, refusing.address().port));
  ASSERT_TRUE(listener.WaitFor(1));
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_FALSE(listener.At(i).found);
    EXPECT_TRUE(listener.At(i).id.IsZero());
  }
  // Dropped each time, so each pass forwards it again.
  const std::vector<std::string> commands = bridge.Commands();
  EXPECT_GE(std::count(commands.begin(), commands.end(), "-s R5CT01 forward tcp:27100 tcp:4699"), 2);
}

TEST_F(AdbWatcherTest, ANewListenerHearsOfIdentifiedPhonesAndNoListenerSilencesTheWatcher) {
  AnnouncementPort phone({Announcement(Id(7), 2, "Seven", 280)});
  ScriptedBridge bridge;
  RecordingListener first;
  AdbWatcher watcher(&first, Scripted(bridge, phone.port()));
  ASSERT_TRUE(first.WaitFor(0));
  // Set while the phone is still identified (its second probe fails only at the next pass).
  RecordingListener second;
  watcher.SetListener(&second);
  ASSERT_GE(second.Count(), 1u);
  EXPECT_TRUE(second.At(0).found);
  EXPECT_EQ(second.At(0).id, Id(7));
  watcher.SetListener(nullptr);
  const size_t heard = second.Count() + first.Count();
  std::this_thread::sleep_for(std::chrono::milliseconds(800));  // two or more passes, unheard
  EXPECT_EQ(second.Count() + first.Count(), heard);
}

TEST_F(AdbWatcherTest, AMissingBridgeEndsTheWatcherQuietly) {
  ErrorLog::TakeStoredEntry();
  for (const bool absent : {true, false}) {
    ScriptedBridge bridge;
    if (absent)
      bridge.SetMissing();  // no program at all
    else
      bridge.SetListing("sh: 1: adb: not found\r\n");
    RecordingListener listener;
    AdbWatcher watcher(&listener, Scripted(bridge, 27000));
    for (int i = 0; i < 100 && watcher.running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(watcher.running());
    // One listing, no forwards, and no "kill-server" for a bridge that is not there.
    EXPECT_EQ(bridge.Commands(), std::vector<std::string>{"devices"});
    EXPECT_EQ(listener.Count(), 0u);
  }
  EXPECT_TRUE(ErrorLog::TakeStoredEntry().text.empty());
}

#ifdef _WIN32
// Other programs' broadcasts, and the system asking before the session ends, are sent to every
// top-level window and wait for its answer: the watcher's window answers at once, also while a
// pass waits on a bridge command that takes seconds (11 s with a hung bridge server).
TEST_F(AdbWatcherTest, ItsWindowAnswersAtOnceWhileABridgeCommandHangs) {
  ScriptedBridge bridge;
  RecordingListener listener;
  AdbWatcher::Options options = Scripted(bridge, 27000);
  std::atomic<int> listings{0};
  std::atomic<bool> release{false};
  options.runner = [&](const std::string& arguments, bool, const std::atomic<bool>& running) {
    // The first listing only looks for the bridge; the first pass's hangs.
    if (arguments == "devices" && ++listings == 2)
      for (int i = 0; i < 100 && !release.load() && running.load(); ++i) Sleep(100);
    return bridge.Run(arguments);
  };
  platform::ResetUsbEvent();
  {
    AdbWatcher watcher(&listener, options);
    HWND window = nullptr;
    for (int i = 0; i < 100 && (listings.load() < 2 || window == nullptr); ++i) {
      Sleep(50);
      window = FindWindowW(L"szAppNamee", nullptr);
    }
    ASSERT_EQ(listings.load(), 2);
    ASSERT_NE(window, nullptr);
    DWORD_PTR answer = 0;
    EXPECT_NE(SendMessageTimeoutW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0, SMTO_NORMAL, 1000, &answer), 0)
        << "no answer within 1 s while the pass waits on the bridge";
    EXPECT_EQ(platform::CurrentUsbEvent(), platform::UsbEvent::kArrived) << "the arrival reached the watcher";
    release.store(true);
  }
  platform::ResetUsbEvent();  // for the watchers of later cases
}
#endif

}  // namespace
}  // namespace kavex
