// A host may call any export from any callback, on whichever engine thread the callback runs:
// EUninitialize of the same camera included (from the worker, the receive thread and the decoder
// thread), and a format change while the phone sends new capabilities. Nothing may crash, hang or
// call the host again once the camera is gone.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera_section_layout.h"
#include "camera_section_peer.h"
#include "discovery/phone_list.h"
#include "fixture_file.h"
#include "instance/engine_instance.h"
#include "instance/instance_registry.h"
#include "instance/teardown_reaper.h"
#include "loopback_peer.h"
#include "output/preview_buffer.h"
#include "platform/address_watch.h"
#include "platform/clock.h"
#include "platform/named_objects.h"
#include "platform/thread_name.h"
#include "protocol/wire_writer.h"
#include "settings_fixture.h"
#include "wait_until.h"

namespace kavex {
namespace {

// Real time, with the worker's sleeps cut to a millisecond so that connecting starts at once.
class QuickTiming : public WorkerTiming {
 public:
  double Now() override { return EngineClock::Now(); }
  void Sleep100Ms() override { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }
};

// Ends the process with a message when a scenario does not finish in time: a deadlock must fail
// the run, not hang it.
class Watchdog {
 public:
  Watchdog(int seconds, const char* what)
      : thread_([this, seconds, what] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!done_.wait_for(lock, std::chrono::seconds(seconds), [this] { return finished_; })) {
            std::fprintf(stderr, "watchdog: %s did not finish within %d s (deadlock)\n", what, seconds);
            std::fflush(stderr);
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
    }
    done_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  std::thread thread_;
};

// Which callback tears the camera down.
enum class Hook {
  kStateConnecting,  // worker thread
  kPhoneList,        // worker thread
  kFormatChoice,     // receive thread
  kStateStreaming,   // receive thread
  kPasscodeKey,      // receive thread
  kPhoneControl,     // receive thread, message 16
  kMessage19,
  kMessage20,
  kMessage21,
  kMessage22,
  kTextList,  // message 24
  kMessage25,
  kVideoSize,  // decoder thread
};

constexpr int kIndex = 2;  // no network discovery: the phone is entered by hand

std::shared_ptr<EngineInstance> g_instance;
std::atomic<Hook> g_hook{Hook::kStateConnecting};
std::atomic<bool> g_hookFired{false};
// Callbacks of the camera after the one that tore it down returned.
std::atomic<int> g_lateCallbacks{0};
std::atomic<bool> g_torn{false};

void Fire(Hook hook) {
  if (g_torn.load()) {
    g_lateCallbacks.fetch_add(1);
    return;
  }
  if (hook != g_hook.load() || g_hookFired.exchange(true)) return;
  std::shared_ptr<EngineInstance> instance = g_instance;  // what EUninitialize finds in the table
  if (instance != nullptr) instance->Destroy();
  g_torn.store(true);
}

void KAVEX_STDCALL OnState(int index, int value) {
  if (index != kIndex) return;
  if (value == static_cast<int>(PhoneState::kConnecting)) Fire(Hook::kStateConnecting);
  if (value == static_cast<int>(PhoneState::kStreaming)) Fire(Hook::kStateStreaming);
}
void KAVEX_STDCALL OnPhoneList(int, int, const char*, const char*, int) { Fire(Hook::kPhoneList); }
int KAVEX_STDCALL OnFormatChoice(int, const char*) {
  Fire(Hook::kFormatChoice);
  return 0;
}
uint64_t KAVEX_STDCALL OnPasscodeKey(int, const uint8_t*, const char*) {
  Fire(Hook::kPasscodeKey);
  return 7;
}
void KAVEX_STDCALL OnPhoneControl(int, uint32_t, uint32_t) { Fire(Hook::kPhoneControl); }
void KAVEX_STDCALL On19(int, int32_t, int32_t, int32_t, int32_t) { Fire(Hook::kMessage19); }
void KAVEX_STDCALL On20(int, float, float, float, int32_t) { Fire(Hook::kMessage20); }
void KAVEX_STDCALL On21(int, float, float, float, float) { Fire(Hook::kMessage21); }
void KAVEX_STDCALL On22(int, int32_t, int32_t, int32_t, int32_t) { Fire(Hook::kMessage22); }
void KAVEX_STDCALL On25(int, int32_t, float) { Fire(Hook::kMessage25); }
void KAVEX_STDCALL OnTextList(int, const char*, int32_t) { Fire(Hook::kTextList); }
void KAVEX_STDCALL OnVideoSize(int, int, int) { Fire(Hook::kVideoSize); }

std::vector<uint8_t> Message(uint8_t type, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> message =
      WireWriter().U32((static_cast<uint32_t>(type) << 24) | static_cast<uint32_t>(payload.size() + 4)).Take();
  message.insert(message.end(), payload.begin(), payload.end());
  return message;
}

std::vector<uint8_t> Capabilities(uint32_t width, uint32_t height) {
  WireWriter payload;
  payload.U32(0).U32(1).U32(width).U32(height).F32(30.0f);
  return Message(10, payload.Take());
}

std::vector<uint8_t> Video(const std::vector<uint8_t>& accessUnit, float timestamp) {
  std::vector<uint8_t> payload = WireWriter().F32(timestamp).Take();
  payload.insert(payload.end(), accessUnit.begin(), accessUnit.end());
  return Message(8, payload);
}

// A phone reached at the listener's loopback port, entered as discovery would enter it.
PhoneId LoopbackPhone(const loopback::Listener& listener, uint8_t tag, const char* name) {
  PhoneId phone;
  phone.bytes = {tag, static_cast<uint8_t>(tag + 1)};
  PhoneList::Instance().ReportNetworkPhone(phone, 2, name, SocketAddress::Ipv4(127, 0, 0, 1, 0), listener.port());
  return phone;
}

// A phone entered by hand, listening on loopback, for one scenario; the phone list and the error
// record are left empty behind it.
struct HandEnteredPhone {
  HandEnteredPhone(uint8_t tag, const char* name) : id(LoopbackPhone(listener, tag, name)) {}
  ~HandEnteredPhone() {
    PhoneList::Instance().Clear();
    settings_fixture::DeleteErrorValue();
  }
  // Has `instance` connect to the phone: the phone's end of the connection, or null.
  std::unique_ptr<loopback::Peer> Connect(EngineInstance& instance) {
    instance.Push(EngineEvent::Connect(id));
    return listener.Accept(10000);
  }

  platform::SocketLibrary sockets;  // the phone's end needs it under Windows
  loopback::Listener listener;
  PhoneId id;
};

// One whole message from the engine: its type and what follows its header. False when none came
// within timeoutMs.
bool ReadEngineMessage(loopback::Peer& peer, int timeoutMs, uint32_t* type, std::vector<uint8_t>* payload) {
  uint8_t header[4];
  if (!peer.ReceiveExactly(header, 4, timeoutMs)) return false;
  const uint32_t word = header[0] | header[1] << 8 | header[2] << 16 | uint32_t(header[3]) << 24;
  const uint32_t length = word & 0xffffff;
  payload->assign(length > 4 ? length - 4 : 0, 0);
  if (!payload->empty() && !peer.ReceiveExactly(payload->data(), payload->size(), 1000)) return false;
  *type = word >> 24;
  return true;
}

class HostReentryTest : public ::testing::TestWithParam<Hook> {
 protected:
  void SetUp() override {
    PhoneList::Instance().Clear();
    g_hook.store(GetParam());
    g_hookFired.store(false);
    g_torn.store(false);
    g_lateCallbacks.store(0);
    SetHostStateCallback(&OnState);
    static QuickTiming timing;
    g_instance = EngineInstance::Create(kIndex, InstanceRegistry::Broker(), InstanceRegistry::Cameras(), timing);
    g_instance->callbacks().Register(&OnPhoneControl, &OnVideoSize, &OnPhoneList, &On19, &On20, &On21, &On22, &On25,
                                     &OnTextList, &OnFormatChoice);
    g_instance->callbacks().RegisterPasscodeKey(&OnPasscodeKey);
    ASSERT_TRUE(listener.ok());
    phone = LoopbackPhone(listener, 0x31, "Reentrant");
  }
  void TearDown() override {
    std::shared_ptr<EngineInstance> instance = std::move(g_instance);
    if (instance != nullptr) instance->Destroy();
    TeardownReaper::JoinAll();
    SetHostStateCallback(nullptr);
    PhoneList::Instance().Clear();
    settings_fixture::DeleteErrorValue();
  }

  // Plays the phone until the hook has fired: hello, capabilities, the messages that reach the
  // host, then video.
  void PlayPhone(loopback::Peer& peer) {
    std::vector<std::vector<uint8_t>> messages = {Message(3, {}), Capabilities(1280, 720)};
    messages.push_back(Message(16, WireWriter().U32(1).U32(2).Take()));
    messages.push_back(Message(19, WireWriter().U32(1).U32(2).U32(3).U32(4).Take()));
    messages.push_back(Message(20, WireWriter().F32(1).F32(2).F32(3).U32(4).Take()));
    messages.push_back(Message(21, WireWriter().F32(1).F32(2).F32(3).F32(4).Take()));
    messages.push_back(Message(22, WireWriter().U32(1).U32(2).U32(3).U32(4).Take()));
    std::vector<uint8_t> texts = WireWriter().U32(1).U32(0).Take();
    texts.resize(8 + 256, 'a');
    texts[8 + 255] = 0;
    messages.push_back(Message(24, texts));
    messages.push_back(Message(25, WireWriter().U32(1).F32(0.5f).Take()));
    for (const auto& message : messages) peer.SendAll(message);
    const auto clip = fixture_file::ReadPackets("h264-1280x720.psimpkt");
    ASSERT_FALSE(clip.empty());
    for (size_t n = 0; n < clip.size() && !g_torn.load(); ++n) {
      if (!peer.SendAll(Video(clip[n], 1.0f + n))) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The passcode challenge last: it leaves the phone waiting for an answer.
    if (!g_torn.load()) peer.SendAll(Message(23, WireWriter().U32(0).U32(5).U32(6).Take()));
  }

  platform::SocketLibrary sockets;  // the phone's end needs it under Windows, before any instance
  loopback::Listener listener;
  PhoneId phone;
};

TEST_P(HostReentryTest, UninitializeFromInsideTheCallbackTearsTheCameraDownCleanly) {
  Watchdog watchdog(60, "teardown from inside a callback");
  ASSERT_EQ(g_instance->Open(), 0);
  g_instance->Push(EngineEvent::Connect(phone));
  std::unique_ptr<loopback::Peer> peer = listener.Accept(10000);
  if (GetParam() != Hook::kStateConnecting || !g_torn.load()) {
    ASSERT_NE(peer, nullptr);
    PlayPhone(*peer);
  }
  ASSERT_TRUE(testkit::WaitUntil([] { return g_torn.load(); }, 10000)) << "the callback under test was never called";

  // The host's next call from one of its own threads finds every engine thread of the camera
  // joined: nothing of it runs any more.
  TeardownReaper::JoinAll();
  EXPECT_FALSE(g_instance->workerRunning());
  EXPECT_FALSE(g_instance->opened());
  if (peer != nullptr) {
    EXPECT_TRUE(peer->WaitForEnd(5000)) << "the phone's connection was left open";
  }
  EXPECT_EQ(g_lateCallbacks.load(), 0) << "the host was called after the camera was torn down";
}

INSTANTIATE_TEST_SUITE_P(EveryCallback, HostReentryTest,
                         ::testing::Values(Hook::kStateConnecting, Hook::kPhoneList, Hook::kFormatChoice,
                                           Hook::kStateStreaming, Hook::kPasscodeKey, Hook::kPhoneControl,
                                           Hook::kMessage19, Hook::kMessage20, Hook::kMessage21, Hook::kMessage22,
                                           Hook::kTextList, Hook::kMessage25, Hook::kVideoSize));

// The decoder thread is inside the host's video-size callback, which changes the format, while the
// receive thread handles new capabilities (and replaces the decoder). Neither may wait for the other.
std::atomic<int> g_sizeCalls{0};
std::atomic<bool> g_secondCapabilitiesSent{false};
std::atomic<bool> g_sizeCallbackReturned{false};
std::shared_ptr<EngineInstance> g_formatTarget;
// Where the callbacks ran, by the names the engine gives its threads.
std::mutex g_namesMutex;
std::string g_decoderThreadName;
std::string g_receiveThreadName;

void KAVEX_STDCALL ChangeFormatOnVideoSize(int, int, int) {
  if (g_sizeCalls.fetch_add(1) != 0) return;
  {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    g_decoderThreadName = platform::CurrentThreadName();
  }
  testkit::WaitUntil([] { return g_secondCapabilitiesSent.load(); }, 5000);
  // Give the receive thread time to reach the decoder swap: nothing outside shows that it has.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  if (std::shared_ptr<EngineInstance> instance = g_formatTarget) instance->SetFormatIndex(3);
  g_sizeCallbackReturned.store(true);
}

int KAVEX_STDCALL Automatic(int, const char*) {
  std::lock_guard<std::mutex> lock(g_namesMutex);
  g_receiveThreadName = platform::CurrentThreadName();
  return 0;
}

TEST(HostReentry, FormatChangeFromTheVideoSizeCallbackWhileNewCapabilitiesArrive) {
  Watchdog watchdog(60, "format change against a decoder swap");
  PhoneList::Instance().Clear();
  HandEnteredPhone phone(0x41, "Turning");
  ASSERT_TRUE(phone.listener.ok());
  static QuickTiming timing;
  g_formatTarget = EngineInstance::Create(kIndex, InstanceRegistry::Broker(), InstanceRegistry::Cameras(), timing);
  g_formatTarget->callbacks().Register(nullptr, &ChangeFormatOnVideoSize, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, &Automatic);
  ASSERT_EQ(g_formatTarget->Open(), 0);
  std::unique_ptr<loopback::Peer> peer = phone.Connect(*g_formatTarget);
  ASSERT_NE(peer, nullptr);
  peer->SendAll(Message(3, {}));
  peer->SendAll(Capabilities(1280, 720));
  const auto clip = fixture_file::ReadPackets("h264-1280x720.psimpkt");
  ASSERT_GE(clip.size(), 10u);
  for (int n = 0; n < 10; ++n) peer->SendAll(Video(clip[n], 1.0f + n));
  ASSERT_TRUE(testkit::WaitUntil([] { return g_sizeCalls.load() > 0; }, 5000)) << "no picture was decoded";
  peer->SendAll(Capabilities(1920, 1080));  // the phone turned: a new stream, a new decoder
  g_secondCapabilitiesSent.store(true);

  // Both threads come through: the callback returns and the new stream is requested.
  int formatRequests = 0;
  const double deadline = EngineClock::Now() + 20.0;
  while ((formatRequests < 2 || !g_sizeCallbackReturned.load()) && EngineClock::Now() < deadline) {
    uint32_t type = 0;
    std::vector<uint8_t> payload;
    if (ReadEngineMessage(*peer, 1000, &type, &payload) && type == 11) ++formatRequests;
  }
  EXPECT_GE(formatRequests, 2) << "one per capabilities message";
  EXPECT_TRUE(g_sizeCallbackReturned.load()) << "the format change from the callback never returned";
  // A host's debugger tells the engine's threads apart (where the system can name threads).
  platform::NameCurrentThread("kavex-test");
  if (platform::CurrentThreadName() == "kavex-test") {
    std::lock_guard<std::mutex> lock(g_namesMutex);
    EXPECT_EQ(g_receiveThreadName, "kavex-recv-2");
    EXPECT_EQ(g_decoderThreadName, "kavex-decode-2");
  }
  std::shared_ptr<EngineInstance> instance = std::move(g_formatTarget);
  instance->Destroy();
}

}  // namespace
}  // namespace kavex

namespace kavex {
namespace {

// The host changes the format over and over while the phone sends new capabilities: whatever the
// interleaving, the last request the phone receives is for the stream it now offers, never a
// request computed for the previous one and sent after the new stream's own.
TEST(HostReentry, NoStaleFormatRequestOutlivesNewCapabilities) {
  Watchdog watchdog(120, "format requests against new capabilities");
  PhoneList::Instance().Clear();
  HandEnteredPhone phone(0x51, "Flipping");
  ASSERT_TRUE(phone.listener.ok());
  static QuickTiming timing;
  std::shared_ptr<EngineInstance> instance =
      EngineInstance::Create(kIndex, InstanceRegistry::Broker(), InstanceRegistry::Cameras(), timing);
  ASSERT_EQ(instance->Open(), 0);
  std::unique_ptr<loopback::Peer> peer = phone.Connect(*instance);
  ASSERT_NE(peer, nullptr);

  // The size of the last type 11 the engine sent before it answered a hello sent after everything
  // else: the receive thread answers that hello only once it has handled the capabilities, and the
  // host thread has been joined by then, so nothing sent for this round can come after the answer.
  auto lastRequestedWidth = [&peer] {
    peer->SendAll(Message(3, {}));
    uint32_t width = 0;
    uint32_t type = 0;
    std::vector<uint8_t> payload;
    while (ReadEngineMessage(*peer, 5000, &type, &payload) && type != 4) {
      if (type == 11 && payload.size() >= 12) std::memcpy(&width, payload.data() + 8, 4);
    }
    EXPECT_EQ(type, 4u) << "the hello was never answered";
    return width;
  };
  for (int round = 0; round < 12; ++round) {
    const uint32_t width = round % 2 == 0 ? 1280 : 1920;
    std::atomic<bool> stop{false};
    std::thread host([&] {
      while (!stop.load()) instance->SetFormatIndex(0);
    });
    peer->SendAll(Capabilities(width, width == 1280 ? 720 : 1080));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    stop.store(true);
    host.join();
    EXPECT_EQ(lastRequestedWidth(), width) << "round " << round;
  }
  instance->Destroy();
}

}  // namespace
}  // namespace kavex

namespace kavex {
namespace {

std::atomic<int> g_departureState{-1};
void KAVEX_STDCALL OnDepartureState(int index, int value) {
  if (index == kIndex) g_departureState.store(value);
}

// A phone that says goodbye with seconds of video still queued for the decoder: once the camera has
// moved on, none of that backlog reaches it (seen here through the preview, which the active
// camera's pictures fill whenever it is empty).
TEST(PhoneDeparture, TheBacklogOfAPhoneThatLeftIsNotDecodedIntoTheCamera) {
  Watchdog watchdog(60, "a departure with a backlog");
  PhoneList::Instance().Clear();
  HandEnteredPhone phone(0x51, "Leaving");
  ASSERT_TRUE(phone.listener.ok());
  // The camera's consumer: without one the camera takes no picture, and the preview none either.
  uint32_t error = 0;
  std::unique_ptr<platform::SharedSection> section = platform::SharedSection::CreateOrOpen(
      testkit::camera_section::SectionName(kIndex), testkit::camera_section::kBytes, &error);
  ASSERT_NE(section, nullptr) << error;
  testkit::CameraSectionPeer consumer(section->data());
  consumer.Publish({640, 480, 30.0f, 1});
  SetHostStateCallback(&OnDepartureState);
  static QuickTiming timing;
  std::shared_ptr<EngineInstance> instance =
      EngineInstance::Create(kIndex, InstanceRegistry::Broker(), InstanceRegistry::Cameras(), timing);
  instance->SetActive(true);
  ASSERT_EQ(instance->Open(), 0);
  std::unique_ptr<loopback::Peer> peer = phone.Connect(*instance);
  ASSERT_NE(peer, nullptr);
  peer->SendAll(Message(3, {}));
  peer->SendAll(Capabilities(1280, 720));
  const auto clip = fixture_file::ReadPackets("h264-1280x720.psimpkt");
  ASSERT_FALSE(clip.empty());
  PreviewBuffer* preview = PreviewBuffer::Get();
  ASSERT_NE(preview, nullptr);
  preview->MarkPreviewEmpty();
  for (size_t n = 0; n < clip.size(); ++n) peer->SendAll(Video(clip[n], 0.5f + n / 1000.0f));
  ASSERT_TRUE(testkit::WaitUntil([&] { return preview->full(); }, 20000))
      << "the phone's pictures never reached the camera";
  // Far more than the decoder gets through before the goodbye is read: the clip, over and over.
  std::vector<uint8_t> burst;
  for (int n = 0; n < 3000; ++n) {
    const std::vector<uint8_t> packet = Video(clip[n % clip.size()], 1.0f + n / 30.0f);
    burst.insert(burst.end(), packet.begin(), packet.end());
  }
  const std::vector<uint8_t> goodbye = Message(2, {});
  burst.insert(burst.end(), goodbye.begin(), goodbye.end());
  ASSERT_TRUE(peer->SendAll(burst));
  ASSERT_TRUE(testkit::WaitUntil([] { return g_departureState.load() == static_cast<int>(PhoneState::kIdle); }, 20000))
      << "the goodbye was never heard";
  // The state is told just before the camera lets the stream go: a picture in flight may still land.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  preview->MarkPreviewEmpty();
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_FALSE(preview->full()) << "pictures of the phone that left still reach the camera";

  instance->Destroy();
  SetHostStateCallback(nullptr);
  preview->MarkPreviewEmpty();
}

}  // namespace
}  // namespace kavex
