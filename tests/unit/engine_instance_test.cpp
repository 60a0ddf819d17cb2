#include "instance/engine_instance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "broker/phone_broker.h"
#include "common/error_log.h"
#include "discovery/phone_list.h"
#include "instance/instance_registry.h"
#include "loopback_peer.h"
#include "platform/clock.h"
#include "recording_connection.h"
#include "session/phone_session.h"
#include "settings_fixture.h"
#include "test_drivers.h"
#include "wait_until.h"

namespace kavex {
namespace {

PhoneId Phone(uint8_t b0, uint8_t b1 = 0, uint8_t b2 = 0, uint8_t b3 = 0) {
  PhoneId id;
  id.bytes = {b0, b1, b2, b3, 0x5a};
  return id;
}

void AddPhone(const PhoneId& id, uint32_t kind, const std::string& name, int32_t score = 0,
              PhoneState state = PhoneState::kIdle) {
  auto record = std::make_unique<PhoneRecord>();
  record->id = id;
  record->kind = kind;
  record->name = name;
  record->networkScore = score;
  record->usbScore = score;
  record->state = state;
  PhoneList::Instance().Append(std::move(record));
}

void SetState(const PhoneId& id, PhoneState state) {
  std::lock_guard<kavex::platform::Mutex> lock(PhoneList::Instance().lock());
  PhoneList::Instance().FindLocked(id)->state = state;
}

PhoneRecord Snapshot(const PhoneId& id) {
  std::lock_guard<kavex::platform::Mutex> lock(PhoneList::Instance().lock());
  const PhoneRecord* record = PhoneList::Instance().FindLocked(id);
  return record != nullptr ? *record : PhoneRecord{};
}

std::vector<EngineEvent> Drain(EngineInstance& instance) {
  std::vector<EngineEvent> events;
  while (auto event = instance.queue().Pop()) events.push_back(*event);
  return events;
}

// Instances constructed but not opened: no worker runs, so the test thread plays the worker.
class EngineInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override { PhoneList::Instance().Clear(); }
  void TearDown() override {
    for (auto& instance : instances) instance->Destroy();
    PhoneList::Instance().Clear();
  }
  EngineInstance& Make(int index, WorkerTiming& timing = RealWorkerTiming()) {
    instances.push_back(EngineInstance::Create(index, InstanceRegistry::Broker(), InstanceRegistry::Cameras(), timing));
    return *instances.back();
  }
  // A network phone answering on loopback that the camera is asked to connect to; the answer is the
  // phone's end of the connection (null if none came), the camera then holds the phone Connecting.
  std::unique_ptr<loopback::Peer> ConnectOverLoopback(EngineInstance& camera, const PhoneId& phone) {
    listeners.push_back(std::make_unique<loopback::Listener>());
    loopback::Listener& listener = *listeners.back();
    if (!listener.ok()) return nullptr;
    PhoneList::Instance().ReportNetworkPhone(phone, 2, "loopback", SocketAddress::Ipv4(127, 0, 0, 1, 0),
                                             listener.port());
    camera.OnConnectRequest(phone);
    return listener.Accept(5000);
  }
  std::vector<std::unique_ptr<loopback::Listener>> listeners;
  std::vector<std::shared_ptr<EngineInstance>> instances;
};

TEST_F(EngineInstanceTest, ListChangeStaggersRefreshesByIndex) {
  EngineInstance& first = Make(0);
  Make(1);
  Make(3);  // slot 2 stays empty and is skipped
  first.NotifyListChanged();
  const double expected[] = {0.0, 0.5, 0.0, 1.5};
  for (int i : {0, 1, 3}) {
    std::vector<EngineEvent> events = Drain(*InstanceRegistry::Get(i));
    ASSERT_EQ(events.size(), 1u) << i;
    EXPECT_EQ(events[0].kind, EngineEvent::kRefresh);
    EXPECT_DOUBLE_EQ(events[0].delay, expected[i]);
  }
}

TEST_F(EngineInstanceTest, InstancesChoosePhonesInIndexOrderAndNeverShareOne) {
  EngineInstance& zero = Make(0);
  EngineInstance& one = Make(1);
  AddPhone(Phone(1), 2, "first");
  AddPhone(Phone(2), 2, "second");

  one.RefreshPhoneList();
  EXPECT_TRUE(one.currentPhone().IsZero()) << "instance 1 waits while instance 0 has no phone";

  zero.RefreshPhoneList();
  EXPECT_EQ(zero.currentPhone(), Phone(1)) << "equal scores: the first reported wins";
  one.RefreshPhoneList();
  EXPECT_EQ(one.currentPhone(), Phone(2));

  std::vector<EngineEvent> events = Drain(one);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, EngineEvent::kConnect);
  EXPECT_EQ(events[0].id, Phone(2));
}

// A camera whose open failed and a slot whose camera the host closed take no phone: the cameras
// after them must not wait for them, must not take a phone a camera beyond the gap has claimed,
// and lose theirs to a camera before the gap that selects it.
TEST_F(EngineInstanceTest, CamerasPastAFailedOrClosedCameraStillChooseAndGiveWay) {
  EngineInstance& zero = Make(0);
  EngineInstance& one = Make(1);
  EngineInstance& two = Make(2);
  EngineInstance& three = Make(3);
  const auto saved = test_drivers::Drivers().Config();
  test_drivers::Drivers().UpdateConfig(
      [](kavex::simdrivers::SimulatedDriversConfig& c) { c.microphones[1].device.openFails = true; });
  ASSERT_NE(one.Open(), 0);
  test_drivers::Drivers().SetConfig(saved);
  settings_fixture::DeleteErrorValue();
  AddPhone(Phone(1), 2, "a");
  AddPhone(Phone(2), 2, "b");
  AddPhone(Phone(3), 2, "c");
  zero.RefreshPhoneList();
  two.RefreshPhoneList();
  EXPECT_EQ(two.currentPhone(), Phone(2)) << "instance 2 waits for instance 1, whose open failed";

  one.Destroy();  // the slot is empty now; instance 2 has claimed phone 2, not yet connected
  three.RefreshPhoneList();
  EXPECT_EQ(three.currentPhone(), Phone(3)) << "instance 3 took instance 2's phone or waited";

  zero.OnConnectRequest(Phone(3));
  EXPECT_TRUE(three.currentPhone().IsZero()) << "instance 3 kept the phone instance 0 took";
}

TEST_F(EngineInstanceTest, ChoiceTakesTheHighestScoreAndOnlySelectableKinds) {
  EngineInstance& zero = Make(0);
  AddPhone(Phone(1), 3, "tablet of another kind", 50);
  AddPhone(Phone(2), 2, "minus five", -5);
  AddPhone(Phone(3), 7, "minus three", -3);
  AddPhone(Phone(4), 2, "busy", 40, PhoneState::kConnecting);
  zero.RefreshPhoneList();
  EXPECT_EQ(zero.currentPhone(), Phone(3));
}

std::vector<std::pair<int, int>> g_states;
void KAVEX_STDCALL RecordState(int instance, int value) { g_states.emplace_back(instance, value); }

TEST_F(EngineInstanceTest, ConnectRequestTakesThePhoneAwayFromTheInstanceShowingIt) {
  EngineInstance& zero = Make(0);
  EngineInstance& one = Make(1);
  EngineInstance& two = Make(2);
  AddPhone(Phone(1), 2, "a");
  AddPhone(Phone(2), 2, "b");
  AddPhone(Phone(3), 2, "c");
  zero.RefreshPhoneList();
  one.RefreshPhoneList();
  two.RefreshPhoneList();
  ASSERT_EQ(two.currentPhone(), Phone(3));

  Drain(two);
  g_states.clear();
  SetHostStateCallback(&RecordState);
  zero.OnConnectRequest(Phone(3));
  SetHostStateCallback(nullptr);
  EXPECT_TRUE(two.currentPhone().IsZero()) << "instance 2 released the phone first";
  EXPECT_EQ(one.currentPhone(), Phone(2)) << "other instances keep theirs";
  // No transport can reach the phone yet, so the attempt fails and instance 0 shows nothing.
  EXPECT_TRUE(zero.currentPhone().IsZero());
  // Instance 2 must choose again at once; its phone was only claimed, so its host heard nothing of
  // it and hears nothing now (nor does instance 0's).
  const std::vector<EngineEvent> queued = Drain(two);
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].kind, EngineEvent::kRefresh);
  EXPECT_TRUE(g_states.empty());
}

// A camera that lets go of a phone it is connected to shows the placeholder: its host, which may
// last have heard Streaming, must hear that it has none, whether another camera took the phone or
// the camera itself moves to another. The camera made to yield may choose again while the taker is
// still at work (here from its host's callback): it must find the phone taken.
EngineInstance* g_chooser = nullptr;
void KAVEX_STDCALL RecordStateAndChoose(int instance, int value) {
  g_states.emplace_back(instance, value);
  g_chooser->RefreshPhoneList();
}

TEST_F(EngineInstanceTest, CamerasThatLetGoOfAConnectedPhoneTellTheirHostsAndNeverTakeItBack) {
  g_chooser = &Make(0);
  EngineInstance* zero = g_chooser;
  EngineInstance& one = Make(1);
  const PhoneId a = Phone(26), b = Phone(27);
  std::unique_ptr<loopback::Peer> peerA = ConnectOverLoopback(*zero, a), peerB = ConnectOverLoopback(one, b);
  ASSERT_TRUE(peerA != nullptr && peerB != nullptr);

  g_states.clear();
  SetHostStateCallback(&RecordStateAndChoose);
  one.OnConnectRequest(a);
  SetHostStateCallback(nullptr);
  EXPECT_NE(zero->currentPhone(), a) << "camera 0 took back the phone camera 1 was taking";
  EXPECT_EQ(one.currentPhone(), a);
  EXPECT_NE(std::find(g_states.begin(), g_states.end(), std::make_pair(0, 0)), g_states.end())
      << "camera 0 lost its phone without a word";
  EXPECT_NE(std::find(g_states.begin(), g_states.end(), std::make_pair(1, 0)), g_states.end())
      << "camera 1 left its phone without a word";
}

// A phone a camera lets go of is free for a camera that has none at once, not at the next news of
// some phone.
TEST_F(EngineInstanceTest, APhoneLetGoOfMakesTheOtherCamerasChooseAgain) {
  EngineInstance& zero = Make(0);
  EngineInstance& one = Make(1);
  AddPhone(Phone(1), 2, "only");
  zero.RefreshPhoneList();
  ASSERT_EQ(zero.currentPhone(), Phone(1));
  Drain(one);
  zero.OnConnectRequest(Phone(2));  // unknown: camera 0 lets go of phone 1 and shows none
  const std::vector<EngineEvent> queued = Drain(one);
  ASSERT_FALSE(queued.empty()) << "camera 1 never heard that phone 1 is free";
  EXPECT_EQ(queued[0].kind, EngineEvent::kRefresh);
}

// The camera that takes a phone looks at the others and then lets go on their behalf while their
// own workers go on: one that has moved to another phone meanwhile must keep it.
TEST_F(EngineInstanceTest, TakingAPhoneLeavesACameraThatMovedOnAlone) {
  Make(0);
  EngineInstance& one = Make(1);
  const PhoneId moved = Phone(24);
  std::unique_ptr<loopback::Peer> peer = ConnectOverLoopback(one, moved);
  ASSERT_NE(peer, nullptr);
  EXPECT_FALSE(one.YieldPhone(Phone(25))) << "camera 1 let go of a phone it no longer had";
  EXPECT_EQ(one.currentPhone(), moved);
  EXPECT_EQ(PhoneList::Instance().GetPhoneState(moved), PhoneState::kConnecting);
  EXPECT_TRUE(one.YieldPhone(moved));
  EXPECT_TRUE(one.currentPhone().IsZero());
}

// A camera taking the phone finds the other camera's session by the phone from its creation, and
// may stop it before it has started: it must then never connect, or it would stream a phone that
// no camera holds.
TEST_F(EngineInstanceTest, ASessionStoppedBeforeItStartsNeverConnects) {
  EngineInstance& zero = Make(0);
  loopback::Listener phoneEnd;
  ASSERT_TRUE(phoneEnd.ok());
  const PhoneId phone = Phone(30);
  PhoneList::Instance().ReportNetworkPhone(phone, 2, "taken", SocketAddress::Ipv4(127, 0, 0, 1, 0), phoneEnd.port());
  PhoneSession session(zero, InstanceRegistry::Broker(), phone);
  EXPECT_EQ(session.phoneId(), phone);
  session.Stop();
  EXPECT_FALSE(session.Start(SocketAddress::Ipv4(127, 0, 0, 1, phoneEnd.port()), 5.0, "kavex-recv-t"));
  EXPECT_EQ(PhoneList::Instance().GetPhoneState(phone), PhoneState::kIdle);
  EXPECT_EQ(phoneEnd.Accept(200), nullptr) << "a stopped session connected to the phone";
}

std::vector<std::string> g_listed;

void KAVEX_STDCALL RecordListEntry(int, int entry, const char* key, const char* name, int selected) {
  g_listed.push_back(std::to_string(entry) + ":" + key + ":" + name + ":" + std::to_string(selected));
}

TEST_F(EngineInstanceTest, StreamingPhoneIsListedSelectedAndBusyPhonesAreHidden) {
  g_listed.clear();
  EngineInstance& zero = Make(0);
  zero.callbacks().Register(nullptr, nullptr, &RecordListEntry, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr);
  AddPhone(Phone(0xff, 0xff, 0xff, 0xff), 2, "mine");
  AddPhone(Phone(2), 2, "connecting elsewhere");
  AddPhone(Phone(3), 2, "");
  AddPhone(Phone(4), 7, "idle");
  zero.RefreshPhoneList();  // chooses the first phone
  SetState(Phone(0xff, 0xff, 0xff, 0xff), PhoneState::kStreaming);
  SetState(Phone(2), PhoneState::kConnecting);
  Drain(zero);

  zero.RefreshPhoneList();
  const std::vector<std::string> expected = {"0:-1:mine [WiFi]:1", "1:4:idle:0"};
  EXPECT_EQ(g_listed, expected);
}

TEST_F(EngineInstanceTest, PhoneReachedThroughTheBridgeForwardIsListedAsUsb) {
  g_listed.clear();
  EngineInstance& zero = Make(0);
  zero.callbacks().Register(nullptr, nullptr, &RecordListEntry, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr);
  loopback::Listener forward;  // stands for the debug bridge's local end
  ASSERT_TRUE(forward.ok());
  const PhoneId phone = Phone(9);
  PhoneList::Instance().ReportNetworkPhone(phone, 2, "Galaxy", SocketAddress::Ipv4(198, 18, 0, 2, 0), 4699);
  PhoneList::Instance().ReportAdbPhone(phone, 2, "", forward.port());

  zero.RefreshPhoneList();  // chooses it and queues the connect
  std::vector<EngineEvent> events = Drain(zero);
  ASSERT_EQ(events.size(), 1u);
  zero.OnConnectRequest(events[0].id);
  ASSERT_EQ(zero.currentPhone(), phone);
  // Kept open: the phone's end must stay connected while the list is checked.
  std::unique_ptr<loopback::Peer> phoneEnd = forward.Accept(5000);
  ASSERT_NE(phoneEnd, nullptr) << "the forward is preferred over the network address";
  EXPECT_EQ(PhoneList::Instance().GetPhoneState(phone), PhoneState::kConnecting);

  SetState(phone, PhoneState::kStreaming);
  zero.RefreshPhoneList();
  EXPECT_EQ(g_listed, (std::vector<std::string>{"0:" + PhoneKey(phone) + ":Galaxy [USB]:1"}));
  for (const EngineEvent& event : Drain(zero))
    EXPECT_NE(event.kind, EngineEvent::kConnect) << "already on the cable: no reselect";
}

TEST_F(EngineInstanceTest, AMultiplexerThatRefusesFallsBackToTheNetworkAndNeverToTheForward) {
  // No multiplexing service runs for this program: every session it is asked for is refused.
  g_listed.clear();
  EngineInstance& zero = Make(0);
  zero.callbacks().Register(nullptr, nullptr, &RecordListEntry, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr);
  loopback::Listener network;
  loopback::Listener forward;
  ASSERT_TRUE(network.ok() && forward.ok());
  const PhoneId phone = Phone(12);
  PhoneList::Instance().ReportNetworkPhone(phone, 2, "iPhone", SocketAddress::Ipv4(127, 0, 0, 1, 0), network.port());
  PhoneList::Instance().ReportAdbPhone(phone, 2, "", forward.port());
  PhoneList::Instance().ReportUsbmuxPhone(phone, 2, 0x4711, true, "");
  const int32_t usbScore = Snapshot(phone).usbScore;

  zero.OnConnectRequest(phone);
  std::unique_ptr<loopback::Peer> phoneEnd = network.Accept(5000);
  ASSERT_NE(phoneEnd, nullptr) << "the network address after the refusal";
  EXPECT_EQ(forward.Accept(200), nullptr) << "never the bridge forward";
  EXPECT_EQ(Snapshot(phone).usbScore, usbScore - 1);
  SetState(phone, PhoneState::kStreaming);
  zero.RefreshPhoneList();
  EXPECT_EQ(g_listed, (std::vector<std::string>{"0:" + PhoneKey(phone) + ":iPhone [WiFi]:1"}));
  EXPECT_TRUE(Drain(zero).empty()) << "a refused cable does not pull the stream off the network";
  zero.ReleasePhone();

  // Only the handle: the refusal fails the phone.
  const PhoneId cableOnly = Phone(13);
  PhoneList::Instance().ReportUsbmuxPhone(cableOnly, 2, 0x4712, true, "");
  zero.OnConnectRequest(cableOnly);
  EXPECT_EQ(PhoneList::Instance().GetPhoneState(cableOnly), PhoneState::kFailed);
  EXPECT_EQ(Snapshot(cableOnly).usbScore, -1) << "one refusal, one point";
  EXPECT_TRUE(zero.currentPhone().IsZero());
}

// The list is every camera's: a camera that goes (or whose open failed) lets go of its own phone
// only. An iPhone on the cable is reported once per subscription, so a list emptied here would
// never list it again for the cameras that remain.
TEST_F(EngineInstanceTest, ACameraThatGoesFreesItsPhoneAndLeavesTheOthersListed) {
  Make(0);
  EngineInstance& one = Make(1);
  const PhoneId cabled = Phone(20);
  PhoneList::Instance().ReportUsbmuxPhone(cabled, 2, 0x4720, true, "");
  const PhoneId held = Phone(21);
  std::unique_ptr<loopback::Peer> peer = ConnectOverLoopback(one, held);
  ASSERT_NE(peer, nullptr);
  ASSERT_EQ(PhoneList::Instance().GetPhoneState(held), PhoneState::kConnecting);

  instances.back()->Destroy();
  EXPECT_EQ(Snapshot(cabled).id, cabled) << "the cable iPhone left the list with camera 1";
  EXPECT_EQ(Snapshot(held).id, held);
  EXPECT_EQ(PhoneList::Instance().GetPhoneState(held), PhoneState::kIdle) << "camera 1's phone is free again";
}

// A camera that takes another phone lets go of the one it holds, not of the one its ended session
// had, which another camera may be connecting to meanwhile.
TEST_F(EngineInstanceTest, TakingAPhoneNeverFreesTheOneAnEndedSessionHad) {
  Make(0);
  EngineInstance& one = Make(1);
  loopback::Listener listener;
  ASSERT_TRUE(listener.ok());
  const PhoneId left = Phone(22);
  // Through a forward, so that the record outlives the failure with its network address.
  PhoneList::Instance().ReportNetworkPhone(left, 2, "left", SocketAddress::Ipv4(127, 0, 0, 1, 0), 9);
  PhoneList::Instance().ReportAdbPhone(left, 2, "", listener.port());
  one.OnConnectRequest(left);
  std::unique_ptr<loopback::Peer> peer = listener.Accept(5000);
  ASSERT_NE(peer, nullptr);
  peer->Close();  // the session ends on its own: camera 1 holds no phone any more
  ASSERT_TRUE(testkit::WaitUntil([&] { return one.currentPhone().IsZero(); }, 5000, 2));
  SetState(left, PhoneState::kConnecting);  // another camera's attempt

  one.OnConnectRequest(Phone(23));  // unknown: nothing to connect to
  EXPECT_EQ(PhoneList::Instance().GetPhoneState(left), PhoneState::kConnecting);
}

TEST_F(EngineInstanceTest, AConnectionRefusedAtOnceLeavesTheInstanceFreeToChooseAgain) {
  EngineInstance& zero = Make(0);
  uint16_t closedPort = 0;
  {
    loopback::Listener listener;  // a port that refuses once the listener is gone
    ASSERT_TRUE(listener.ok());
    closedPort = listener.port();
  }
  const PhoneId phone = Phone(6);
  // The refusal ends the connection on its receive thread, racing the worker's own bookkeeping
  // (which must claim the phone before the connection starts); whichever wins, every attempt must
  // leave the instance without a phone, free to choose again.
  for (int attempt = 0; attempt < 20; ++attempt) {
    PhoneList::Instance().ReportNetworkPhone(phone, 2, "Refuser", SocketAddress::Ipv4(127, 0, 0, 1, 0), closedPort);
    zero.OnConnectRequest(phone);
    ASSERT_TRUE(testkit::WaitUntil(
        [&] {
          return PhoneList::Instance().GetPhoneState(phone) != PhoneState::kConnecting && zero.currentPhone().IsZero();
        },
        5000, 2))
        << "attempt " << attempt << " left a phone without a connection";
    Drain(zero);
  }
}

TEST_F(EngineInstanceTest, CableAppearingWhileStreamingOverTheNetworkReselectsThePhone) {
  EngineInstance& zero = Make(0);
  const PhoneId phone = Phone(3);
  AddPhone(phone, 2, "wifi");
  zero.RefreshPhoneList();
  Drain(zero);
  SetState(phone, PhoneState::kStreaming);
  zero.RefreshPhoneList();
  EXPECT_TRUE(Drain(zero).empty());
  // Marked reachable by cable but with no cable route to take (a refused one, say): reconnecting
  // would only come back over the network, at every refresh.
  {
    std::lock_guard<kavex::platform::Mutex> lock(PhoneList::Instance().lock());
    PhoneList::Instance().FindLocked(phone)->usbAvailable = true;
  }
  zero.RefreshPhoneList();
  EXPECT_TRUE(Drain(zero).empty());
  PhoneList::Instance().ReportUsbmuxPhone(phone, 2, 5, true, "");
  zero.RefreshPhoneList();
  std::vector<EngineEvent> events = Drain(zero);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, EngineEvent::kConnect);
  EXPECT_EQ(events[0].id, phone);
}

TEST_F(EngineInstanceTest, SelectByKeyQueuesAConnectForSelectablePhonesOnly) {
  EngineInstance& zero = Make(0);
  AddPhone(Phone(0xff, 0xff, 0xff, 0xff), 3, "other kind");
  AddPhone(Phone(7), 2, "seven");
  zero.SelectPhoneByKey("-1");
  EXPECT_TRUE(Drain(zero).empty());
  zero.SelectPhoneByKey(PhoneKey(Phone(7)));
  std::vector<EngineEvent> events = Drain(zero);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].id, Phone(7));
  zero.SelectPhoneByKey("7x");
  EXPECT_TRUE(Drain(zero).empty());

  // Keys are only the first four bytes: two phones may share one, and the first listed wins.
  PhoneId twin = Phone(7);
  twin.bytes[4] = 0x5b;
  PhoneList::Instance().Clear();
  AddPhone(twin, 7, "twin");
  AddPhone(Phone(7), 2, "seven");
  zero.SelectPhoneByKey("7");
  events = Drain(zero);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].id, twin);
}

TEST_F(EngineInstanceTest, AnInstanceWhoseOpenFailedHasNoWorker) {
  const auto saved = test_drivers::Drivers().Config();
  test_drivers::Drivers().UpdateConfig(
      [](kavex::simdrivers::SimulatedDriversConfig& c) { c.microphones[1].device.openFails = true; });
  EngineInstance& one = Make(1);
  EXPECT_EQ(one.Open(), VirtualCameraOutput::kMicrophoneMissing);
  test_drivers::Drivers().SetConfig(saved);
  EXPECT_FALSE(one.workerRunning());
  settings_fixture::DeleteErrorValue();
}

TEST_F(EngineInstanceTest, OpenStartsTheWorkerAndTeardownIsSafeTwice) {
  EngineInstance& one = Make(1);
  AddPhone(Phone(1), 2, "a");
  EXPECT_EQ(one.Open(), 0);
  EXPECT_TRUE(one.opened());
  EXPECT_TRUE(one.workerRunning());
  one.SetBlank(true);
  EXPECT_TRUE(one.blank());

  one.Destroy();
  EXPECT_FALSE(one.workerRunning());
  EXPECT_FALSE(one.opened());
  EXPECT_EQ(InstanceRegistry::Get(1), nullptr);
  EXPECT_EQ(PhoneList::Instance().Size(), 1u) << "the list is every camera's: only instance 0's release empties it";
  one.Destroy();
}

TEST_F(EngineInstanceTest, InstanceZeroStartsItsAddressWatchWithoutRecordingAFailure) {
  ErrorLog::RecordError("setup", 0);
  settings_fixture::DeleteErrorValue();
  Make(0);
  EXPECT_FALSE(ErrorLog::TakeStoredEntry().deliver);
}

TEST_F(EngineInstanceTest, NeverOpenedInstanceIsDestroyedCleanly) {
  EngineInstance& zero = Make(0);
  EXPECT_FALSE(zero.workerRunning());
  zero.Destroy();
  EXPECT_EQ(InstanceRegistry::Get(0), nullptr);
  // An open that comes after the teardown (EOpen racing EUninitialize) starts nothing and says so
  // with the engine's own failure, not with a driver's code.
  EXPECT_EQ(zero.Open(), EngineInstance::kInternalFailure);
  EXPECT_FALSE(zero.workerRunning());
  EXPECT_FALSE(zero.opened());
}

// Host threads keep calling into instances while they run and while they are torn down: nothing
// may race (the TSan tier checks this) and nothing may be used after teardown.
// Real time, but the loop's sleeps shortened to a millisecond so that the workers make many passes.
class FastTiming : public WorkerTiming {
 public:
  double Now() override { return EngineClock::Now(); }
  void Sleep100Ms() override { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }
};

std::atomic<int> g_listEntries{0};

void KAVEX_STDCALL CountListEntry(int, int, const char*, const char*, int) { g_listEntries.fetch_add(1); }

TEST_F(EngineInstanceTest, HostCallsDuringRunAndTeardownAreSafe) {
  static FastTiming fast;
  // Every call an export makes, from several host threads, while the instances run and while two
  // other host threads tear them down at once; a few rounds, so that teardown meets each call.
  for (int cycle = 0; cycle < 4; ++cycle) {
    std::shared_ptr<EngineInstance> zero =
        EngineInstance::Create(0, InstanceRegistry::Broker(), InstanceRegistry::Cameras(), fast);
    std::shared_ptr<EngineInstance> one =
        EngineInstance::Create(1, InstanceRegistry::Broker(), InstanceRegistry::Cameras(), fast);
    ASSERT_EQ(zero->Open(), 0);
    ASSERT_EQ(one->Open(), 0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> hosts;
    for (int t = 0; t < 3; ++t) {
      hosts.emplace_back([&, t] {
        uint8_t round = 0;
        while (!stop.load()) {
          EngineInstance& target = (round & 1) ? *one : *zero;
          target.SetBlank(round & 2);
          target.blank();
          target.SetActive(round & 4);
          target.SetFormatIndex(round % 11);
          target.RestartServiceDiscovery();
          target.callbacks().Register(nullptr, nullptr, &CountListEntry, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr);
          target.activeConnection().Send({1, 2, 3, 4});
          target.SelectPhoneByKey("1");
          target.outputStreaming();
          if (t == 0) {
            target.NotifyListChanged();
            AddPhone(Phone(round), 2, "p");
          }
          ++round;
          std::this_thread::yield();
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + 50 * cycle));
    std::thread otherTeardown([&] { one->Destroy(); });
    zero->Destroy();
    otherTeardown.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop.store(true);
    for (std::thread& host : hosts) host.join();
    EXPECT_FALSE(zero->workerRunning());
    EXPECT_FALSE(one->workerRunning());
    EXPECT_FALSE(zero->opened());
  }
}

TEST(PhoneKeyText, FirstFourBytesAsSignedLittleEndian) {
  EXPECT_EQ(PhoneKey(Phone(0xff, 0xff, 0xff, 0xff)), "-1");
  EXPECT_EQ(PhoneKey(Phone(1, 2, 3, 4)), "67305985");
  EXPECT_EQ(PhoneKey(PhoneId{}), "0");
}

TEST(PhoneListReset, PasscodeRetryResetsTheFirstMatchingRecordToIdle) {
  PhoneList::Instance().Clear();
  AddPhone(Phone(5), 2, "locked", 0, PhoneState::kPasscodeNeeded);
  PhoneList::Instance().ResetStateToIdle(Phone(5));
  EXPECT_EQ(PhoneList::Instance().GetPhoneState(Phone(5)), PhoneState::kIdle);
  EXPECT_EQ(PhoneList::Instance().GetPhoneName(Phone(6)), "Phone");
  PhoneList::Instance().Clear();
}

}  // namespace
}  // namespace kavex

namespace kavex {
namespace {

// Hostile LAN: announcements and state changes arrive far faster than workers refresh, and some
// instances never run a worker at all (never opened, or their camera is missing). Each must hold
// at most one refresh however many arrive; connect requests for one phone coalesce too.
TEST_F(EngineInstanceTest, RefreshRequestsCoalesceInTheQueue) {
  EngineInstance& zero = Make(0);
  EngineInstance& one = Make(1);  // never opened: nobody ever drains its queue
  for (int i = 0; i < 10000; ++i) zero.NotifyListChanged();
  for (int i = 0; i < 100; ++i) one.Push(EngineEvent::Connect(Phone(9)));
  std::vector<EngineEvent> events = Drain(one);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, EngineEvent::kRefresh);
  EXPECT_DOUBLE_EQ(events[0].delay, 0.5);
  EXPECT_EQ(events[1].kind, EngineEvent::kConnect);
  EXPECT_EQ(Drain(zero).size(), 1u);
  // Once taken, a new request queues again.
  zero.NotifyListChanged();
  EXPECT_EQ(Drain(zero).size(), 1u);
}

// A LAN host announcing fresh identifiers by the hundred cannot push out the phone an instance has
// just chosen (still Idle until its connection starts).
TEST_F(EngineInstanceTest, AnnouncementFloodKeepsTheChosenPhone) {
  EngineInstance& zero = Make(0);
  const PhoneId chosen = Phone(1);
  kavex::InstanceRegistry::Broker().OnPhoneFound(
      PhoneSighting::Network(chosen, 2, "mine", SocketAddress::Ipv4(198, 18, 0, 2, 0), 4699));
  zero.RefreshPhoneList();
  ASSERT_EQ(zero.currentPhone(), chosen);
  for (int i = 0; i < 300; ++i)
    kavex::InstanceRegistry::Broker().OnPhoneFound(
        PhoneSighting::Network(Phone(2, i & 0xff, i >> 8), 2, "flood", SocketAddress::Ipv4(198, 18, 0, 9, 0), 4699));
  EXPECT_LE(PhoneList::Instance().Size(), PhoneList::kMaxNetworkOnlyRecords);
  EXPECT_EQ(PhoneList::Instance().GetPhoneName(chosen), "mine");
}

// Another instance takes this instance's phone: the camera must go back to the placeholder, as it
// does when a connection is lost, not freeze on the last picture.
TEST_F(EngineInstanceTest, APhoneTakenByAnotherInstanceLeavesThePlaceholder) {
  EngineInstance& zero = Make(0);
  EngineInstance& one = Make(1);
  ASSERT_EQ(zero.Open(), 0);
  const PhoneId phone = Phone(4);
  AddPhone(phone, 2, "shared");
  zero.RefreshPhoneList();
  ASSERT_EQ(zero.currentPhone(), phone);
  Drain(zero);  // the test plays the connection: the worker must not connect on its own
  RecordingConnection connection(phone, SocketAddress{});
  PhoneSession session(zero, InstanceRegistry::Broker(), phone);
  session.OnCapabilities(connection, false, {VideoFormat{1280, 720, 30.0f}});
  ASSERT_TRUE(zero.outputStreaming());
  one.OnConnectRequest(phone);
  EXPECT_TRUE(zero.currentPhone().IsZero());
  EXPECT_FALSE(zero.outputStreaming()) << "the camera still shows the phone that was taken away";
}

// A phone that said goodbye ended its session: a failure of the stream afterwards (its close made
// the engine's last send fail) leaves it Idle, not Failed.
TEST_F(EngineInstanceTest, AFailureAfterTheGoodbyeLeavesThePhoneIdle) {
  EngineInstance& zero = Make(0);
  const PhoneId phone = Phone(5);
  AddPhone(phone, 2, "polite");
  SetState(phone, PhoneState::kStreaming);
  RecordingConnection connection(phone, SocketAddress{});
  PhoneSession session(zero, InstanceRegistry::Broker(), phone);
  session.OnGoodbye(connection);
  session.OnFailed(connection);
  EXPECT_EQ(PhoneList::Instance().GetPhoneState(phone), PhoneState::kIdle);
}

// Instance 0 owns the network discovery, but not the socket library of the others: its teardown
// must leave their connections alone (under Windows, a last WSACleanup resets every socket).
TEST_F(EngineInstanceTest, DestroyingInstanceZeroLeavesTheOthersConnectionsWorking) {
  EngineInstance& zero = Make(0);
  EngineInstance& one = Make(1);
  (void)zero;
  std::unique_ptr<loopback::Peer> peer = ConnectOverLoopback(one, Phone(8));
  ASSERT_NE(peer, nullptr);
  instances.front()->Destroy();
  ASSERT_TRUE(peer->SendAll(loopback::Header(3, 4)));  // hello
  uint8_t answer[4] = {};
  ASSERT_TRUE(peer->ReceiveExactly(answer, 4, 5000)) << "the connection died with instance 0";
  EXPECT_EQ(answer[3], 4) << "hello answered";
}

}  // namespace
}  // namespace kavex
