// An Android phone on the cable, end to end under Windows: this program is the host (it loads
// engine-simdrivers.dll and opens camera 0) and plays the system around the engine: it "plugs" and
// "unplugs" the phone by rewriting the bridge's device script and tells the engine's hidden window
// what the system would (device arrival and removal, the end of the session). The bridge is
// adb.exe beside this program, found by the engine's plain command line; the phone simulator on
// the phone side answers only through the bridge's forwards unless a case lets it announce itself.
//
// Started by run_usb_e2e.sh, one case per process (instance 0 is opened once per process), each
// with a bridge server port and a device script of its own.
#include <winsock2.h>
// after winsock2.h
#include <windows.h>

#include <dbt.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "camera_zero_consumer.h"
#include "engine_library.h"
#include "engine_window.h"
#include "host_event_log.h"
#include "kavex_engine.h"
#include "settings_fixture.h"
#include "sim_control.h"
#include "wait_until.h"
#include "wire_records.h"

namespace {

using testkit::Clock;
using testkit::SecondsSince;

constexpr int kStreamWaitMs = 60000;  // generous: every bridge command is a Wine process start
constexpr char kPhoneName[] = "Cable Phone";

using namespace hostlog;

// True when something accepts a TCP connection on 127.0.0.1:port.
bool Accepts(int port) {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool accepted = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::closesocket(s);
  return accepted;
}

// Asks the bridge's server to stop, as `adb kill-server` does (the stand-in's own request); its
// forwards go with it. True once it said OKAY.
bool KillBridgeServer(int port) {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  const DWORD waitMs = 5000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&waitMs), sizeof waitMs);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::send(s, "kill\n", 5, 0) == 5) {
    char buffer[64];
    for (int got; (got = ::recv(s, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, static_cast<size_t>(got));
  }
  ::closesocket(s);
  return reply.rfind("OKAY", 0) == 0;
}

HWND NotificationWindow() { return enginewindow::Find(); }
bool SendToWindow(UINT message, WPARAM wParam, LPARAM lParam) { return enginewindow::Send(message, wParam, lParam); }
using enginewindow::SendDeviceChange;

class Usb : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("KAVEX_USB_SIM_CONTROL").empty()) GTEST_SKIP() << "run through run_usb_e2e.sh";
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    adbPort_ = std::atoi(Env("KAVEX_ADB_PORT").c_str());
    settings_fixture::DeleteErrorValue();
    std::string error;
    ASSERT_TRUE(engine_.Load(testkit::EnginePathFor("engine-simdrivers.dll"), &error)) << error;
  }

  void TearDown() override {
    Close();
    engine_.Unload();
    settings_fixture::DeleteErrorValue();
    WSACleanup();
  }

  // What a host does: one camera, the callbacks, open it.
  void Open() {
    ASSERT_TRUE(OpenCameraZero(engine_.exports(), &opened_)) << "the open and its result";
    open_ = true;
  }

  void Close() {
    if (open_) engine_.exports().EUninitialize(0);
    open_ = false;
  }

  // The bridge lists the phone (at the simulator's address, as the runner gave it) or nothing.
  static void WriteDevices(bool attached) {
    std::ofstream script(Env("KAVEX_ADB_DEVICES"), std::ios::trunc);
    script << "style crlf\n";
    if (attached) script << Env("KAVEX_USB_DEVICE_LINE") << "\n";
    ASSERT_TRUE(script.good()) << Env("KAVEX_ADB_DEVICES");
  }

  // Until the window exists and the first listing has started the bridge's server, then a little
  // longer: the first pass must be over, or it would find a phone plugged in now by itself.
  void WaitForFirstPass(bool noPhoneYet = true) {
    ASSERT_TRUE(testkit::WaitUntil([] { return NotificationWindow() != nullptr; }, 30000)) << "no hidden window";
    ASSERT_TRUE(testkit::WaitUntil([this] { return Accepts(adbPort_); }, 30000)) << "no bridge server";
    std::this_thread::sleep_for(std::chrono::seconds(5));
    if (noPhoneYet) {
      ASSERT_FALSE(StateSince(KAVEX_PHONE_CONNECTING, opened_)) << "a phone before any was plugged in";
    }
  }

  bool WaitForStateSince(int value, Clock::time_point since, int timeoutMs, Clock::time_point* at = nullptr) {
    return testkit::WaitUntil([&] { return StateSince(value, since, at); }, timeoutMs);
  }
  bool WaitForSelectedEntry(const std::string& label, Clock::time_point since, int timeoutMs) {
    return testkit::WaitUntil([&] { return SelectedEntrySince(std::string(kPhoneName) + label, since); }, timeoutMs);
  }

  void Timing(const char* what, Clock::time_point from, Clock::time_point to) {
    std::printf("[ TIMING   ] %s: %.2f s\n", what, std::chrono::duration<double>(to - from).count());
    std::fflush(stdout);
  }

  testkit::EngineLibrary engine_;
  int adbPort_ = 0;
  Clock::time_point opened_;
  bool open_ = false;
};

// The consumer of camera 0 (section mode, 640 × 480 YUY2): the section is a real named object.
class Consumer : public e2e::CameraZeroConsumer {
 public:
  bool Publish() { return CameraZeroConsumer::Publish(640, 480); }
  // Pictures of the full size taken within `seconds`.
  int FullPicturesIn(double seconds) {
    int full = 0;
    TakeFor(seconds, 0, [&](e2e::SlotTake& picture) { full += picture.length == Yuy2Bytes() ? 1 : 0; });
    return full;
  }
};

// Plugged in before the host starts: the first pass forwards, probes and reports the phone, which
// the simulator serves only behind the forwards.
TEST_F(Usb, PhoneOnTheCableIsFoundAndStreamsIntoTheCamera) {
  SimControl sim(Env("KAVEX_USB_SIM_CONTROL"));
  ASSERT_TRUE(sim.connected());
  Consumer consumer;
  ASSERT_TRUE(consumer.Publish());

  WriteDevices(true);
  const Clock::time_point listed = Clock::now();
  Open();
  Clock::time_point streaming;
  ASSERT_TRUE(WaitForStateSince(KAVEX_PHONE_STREAMING, listed, kStreamWaitMs, &streaming)) << History(listed);
  Timing("device listed to Streaming (engine start included)", listed, streaming);

  EXPECT_TRUE(WaitForSelectedEntry(" [USB]", listed, 10000)) << History(listed);
  EXPECT_FALSE(SelectedEntrySince(std::string(kPhoneName) + " [WiFi]", listed));
  EXPECT_EQ(SimControl::Field(sim.Command("state"), "announcements"), "0") << "never heard on the network";
  const int pictures = consumer.FullPicturesIn(3.0);
  std::printf("usb: %d pictures reached the camera in 3 s\n", pictures);
  EXPECT_GE(pictures, 30);
  EXPECT_EQ(SimControl::Field(sim.Command("state"), "complaints"), "0");
}

// Plugged in while the watcher waits out its half-minute: the arrival notice brings the next
// pass about two seconds later. Unplugged: the phone goes; plugged in again, it comes back.
TEST_F(Usb, ArrivalNoticeFindsThePhoneAndRemovalLetsItGo) {
  SimControl sim(Env("KAVEX_USB_SIM_CONTROL"));
  ASSERT_TRUE(sim.connected());
  WriteDevices(false);
  Open();
  WaitForFirstPass();
  if (HasFatalFailure()) return;

  WriteDevices(true);
  const Clock::time_point plugged = Clock::now();
  ASSERT_TRUE(SendDeviceChange(DBT_DEVICEARRIVAL));
  Clock::time_point streaming;
  // The watcher's own next pass is at least 25 s away: anything sooner came from the notice.
  ASSERT_TRUE(WaitForStateSince(KAVEX_PHONE_STREAMING, plugged, 20000, &streaming)) << History(plugged);
  Timing("arrival notice to Streaming", plugged, streaming);
  EXPECT_TRUE(WaitForSelectedEntry(" [USB]", plugged, 10000)) << History(plugged);

  // The cable is pulled: the bridge lists nothing and the phone's connection ends; then the system
  // reports the removal. Until a pass drops the phone's forward, the engine may keep trying it (the
  // bridge accepts and closes at once); after the notice's pass it must come to rest.
  WriteDevices(false);
  const Clock::time_point unplugged = Clock::now();
  ASSERT_EQ(sim.Command("goodbye close"), "ok");
  ASSERT_TRUE(testkit::WaitUntil([] { return LastState() != KAVEX_PHONE_STREAMING; }, 20000)) << History(unplugged);
  const Clock::time_point removal = Clock::now();
  ASSERT_TRUE(SendDeviceChange(DBT_DEVICEREMOVECOMPLETE));
  const bool rested = testkit::WaitUntil([] { return SecondsSince(LastStateAt()) > 3.0; }, 15000, 100);
  Timing("removal notice to the last connection attempt", removal, LastStateAt());
  ASSERT_TRUE(rested) << "still connecting to an unplugged phone" << History(unplugged);
  EXPECT_NE(LastState(), KAVEX_PHONE_STREAMING) << History(unplugged);

  WriteDevices(true);
  const Clock::time_point replugged = Clock::now();
  ASSERT_TRUE(SendDeviceChange(DBT_DEVICEARRIVAL));
  ASSERT_TRUE(WaitForStateSince(KAVEX_PHONE_STREAMING, replugged, 20000, &streaming)) << History(replugged);
  Timing("second arrival notice to Streaming", replugged, streaming);
  EXPECT_EQ(SimControl::Field(sim.Command("state"), "complaints"), "0");
}

// The bridge's server dies while the phone streams (another program ran "kill-server"): its
// forwards go with it and the stream ends; the session refused through the dead forward brings the
// watcher's next pass forward, which starts a server and forwards again, and the phone streams
// again in the same process.
TEST_F(Usb, ABridgeServerKilledMidStreamComesBackWithThePhone) {
  SimControl sim(Env("KAVEX_USB_SIM_CONTROL"));
  ASSERT_TRUE(sim.connected());
  Consumer consumer;
  ASSERT_TRUE(consumer.Publish());
  WriteDevices(true);
  const Clock::time_point listed = Clock::now();
  Open();
  ASSERT_TRUE(WaitForStateSince(KAVEX_PHONE_STREAMING, listed, kStreamWaitMs)) << History(listed);

  const Clock::time_point killed = Clock::now();
  ASSERT_TRUE(KillBridgeServer(adbPort_)) << "the bridge's server did not take the request";
  ASSERT_TRUE(testkit::WaitUntil([] { return LastState() != KAVEX_PHONE_STREAMING; }, 20000)) << History(killed);
  Clock::time_point again;
  // The session refused through the dead forward asks the watcher for a pass at once; its own
  // pass is about half a minute after the one that found the phone.
  ASSERT_TRUE(WaitForStateSince(KAVEX_PHONE_STREAMING, killed, 20000, &again)) << History(killed);
  Timing("bridge server killed to Streaming again", killed, again);
  EXPECT_TRUE(Accepts(adbPort_)) << "streaming again without a bridge server";
  EXPECT_GE(consumer.FullPicturesIn(3.0), 30);
  EXPECT_EQ(SimControl::Field(sim.Command("state"), "complaints"), "0");
}

// The machine resumes from sleep. With the phone's forwards intact, the watcher takes the device
// afresh without telling anyone: the stream goes on. With the forwards gone (the bridge's server
// did not survive the sleep), the phone comes back well before the watcher's half-minute pass,
// through the resume notice or the refused session's request, whichever comes first.
TEST_F(Usb, AResumeFromSleepTakesThePhoneAfreshAndBringsItBack) {
  SimControl sim(Env("KAVEX_USB_SIM_CONTROL"));
  ASSERT_TRUE(sim.connected());
  Consumer consumer;
  ASSERT_TRUE(consumer.Publish());
  WriteDevices(true);
  const Clock::time_point listed = Clock::now();
  Open();
  ASSERT_TRUE(WaitForStateSince(KAVEX_PHONE_STREAMING, listed, kStreamWaitMs)) << History(listed);
  WaitForFirstPass(false);
  if (HasFatalFailure()) return;

  const Clock::time_point resumed = Clock::now();
  ASSERT_TRUE(SendToWindow(WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0));
  // 5 s of settling, then the listing, forwards and probe of the pass the notice brought.
  std::this_thread::sleep_for(std::chrono::seconds(12));
  EXPECT_EQ(LastState(), KAVEX_PHONE_STREAMING) << History(resumed);
  EXPECT_FALSE(StateSince(KAVEX_PHONE_IDLE, resumed)) << History(resumed);
  EXPECT_GE(consumer.FullPicturesIn(2.0), 20);

  ASSERT_TRUE(KillBridgeServer(adbPort_)) << "the bridge's server did not take the request";
  ASSERT_TRUE(testkit::WaitUntil([] { return LastState() != KAVEX_PHONE_STREAMING; }, 20000)) << History(resumed);
  const Clock::time_point woke = Clock::now();
  ASSERT_TRUE(SendToWindow(WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0));
  Clock::time_point again;
  // The watcher's own next pass is about 25 s after the notice (30 s after the first notice's
  // pass).
  ASSERT_TRUE(WaitForStateSince(KAVEX_PHONE_STREAMING, woke, 20000, &again)) << History(woke);
  Timing("resume notice to Streaming again", woke, again);
  EXPECT_GE(consumer.FullPicturesIn(3.0), 30);
  EXPECT_EQ(SimControl::Field(sim.Command("state"), "complaints"), "0");
}

// Closing the engine stops the bridge's server, unless the user's session is ending.
TEST_F(Usb, ClosingTheEngineStopsTheBridgeServer) {
  WriteDevices(false);
  Open();
  WaitForFirstPass();
  if (HasFatalFailure()) return;
  Close();
  EXPECT_TRUE(testkit::WaitUntil([this] { return !Accepts(adbPort_); }, 15000)) << "the server still runs";
}

TEST_F(Usb, LogOffLeavesTheBridgeServerRunning) {
  WriteDevices(false);
  Open();
  WaitForFirstPass();
  if (HasFatalFailure()) return;
  ASSERT_TRUE(SendToWindow(WM_QUERYENDSESSION, 0, static_cast<LPARAM>(ENDSESSION_LOGOFF)));
  Close();
  // A stop would have been asked for before the close returned; give it time to take effect.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_TRUE(Accepts(adbPort_)) << "the server was stopped";
}

// The phone streams over the network (it announces itself); plugged in, it moves to the cable.
TEST_F(Usb, PhoneStreamingOverWifiMovesToTheCable) {
  SimControl sim(Env("KAVEX_USB_SIM_CONTROL"));
  ASSERT_TRUE(sim.connected());
  WriteDevices(false);
  Open();
  ASSERT_TRUE(WaitForStateSince(KAVEX_PHONE_STREAMING, opened_, kStreamWaitMs)) << History(opened_);
  ASSERT_TRUE(WaitForSelectedEntry(" [WiFi]", opened_, 10000)) << History(opened_);
  WaitForFirstPass(false);
  if (HasFatalFailure()) return;

  WriteDevices(true);
  const Clock::time_point plugged = Clock::now();
  ASSERT_TRUE(SendDeviceChange(DBT_DEVICEARRIVAL));
  EXPECT_TRUE(WaitForSelectedEntry(" [USB]", plugged, 30000)) << History(opened_);
  EXPECT_EQ(LastState(), KAVEX_PHONE_STREAMING) << History(opened_);
  EXPECT_EQ(SimControl::Field(sim.Command("state"), "complaints"), "0");
}

// Without a bridge (none beside the program, or one that says it is not installed) the watcher
// gives up quietly: no window, no error record; the network path is untouched.
TEST_F(Usb, MissingBridgeLeavesTheNetworkPathAlone) {
  SimControl sim(Env("KAVEX_USB_SIM_CONTROL"));
  ASSERT_TRUE(sim.connected());
  Open();
  ASSERT_TRUE(WaitForStateSince(KAVEX_PHONE_STREAMING, opened_, kStreamWaitMs)) << History(opened_);
  EXPECT_TRUE(WaitForSelectedEntry(" [WiFi]", opened_, 10000)) << History(opened_);
  EXPECT_EQ(NotificationWindow(), nullptr);
  EXPECT_FALSE(Accepts(adbPort_)) << "a bridge server runs";

  // Whatever was recorded went to the phone at its opening; a hello now fetches anything later.
  const std::string answers = sim.Command("count 4");
  ASSERT_EQ(answers.rfind("ok ", 0), 0u) << answers;
  ASSERT_EQ(sim.Command("hello").rfind("ok", 0), 0u);
  ASSERT_EQ(sim.Command("wait-received 4 10000 " + std::to_string(std::atoi(answers.c_str() + 3) + 1)), "ok");
  const std::regex bridgeRecord("we:mc(\\.[^:]*)?:(89|106)");
  for (const std::string& line : sim.ListCommand("received 12")) {
    const auto text = testkit::wire_records::DecodeErrorReport(SimControl::Field(line, "hex"));
    ASSERT_TRUE(text) << line;
    EXPECT_FALSE(std::regex_match(*text, bridgeRecord)) << *text;
  }
}

}  // namespace
