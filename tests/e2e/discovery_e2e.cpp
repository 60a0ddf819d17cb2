// The engine finds a phone on the test network by itself: the host only initialises and opens
// instance 0, the phone simulator on the phone side announces itself by multicast, and the
// engine's network discovery, phone list and worker take it from there to a streaming session.
// Cases: announcements over IPv4 and IPv6; IPv6 link-local only (the session runs to the phone's
// link-local address with its scope); and (natively) a phone on an adapter that appears while the
// engine runs, which the restart on the address change must pick up.
//
// The simulators are started by run_discovery_e2e.sh; each case runs in a process of its own (an
// engine's instances are opened once per process).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/instance_table.h"
#include "discovery/phone_list.h"
#include "kavex_engine.h"
#include "settings_fixture.h"
#include "sim_control.h"

namespace {

using Clock = std::chrono::steady_clock;
using kavex::PhoneId;

constexpr int kWaitMs = 30000;  // generous: under Wine a connect round can take a while

struct ListEntry {
  int entry;
  std::string key;
  std::string displayName;
  int selected;
};

std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<int> g_states;
std::vector<Clock::time_point> g_stateTimes;
std::vector<ListEntry> g_list;
Clock::time_point g_streamingAt;

void KAVEX_STDCALL OnState(int instance, int value) {
  if (instance != 0) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (value == KAVEX_PHONE_STREAMING && g_streamingAt == Clock::time_point()) g_streamingAt = Clock::now();
  g_states.push_back(value);
  g_stateTimes.push_back(Clock::now());
  g_changed.notify_all();
}

void KAVEX_STDCALL OnPhoneList(int instance, int entry, const char* key, const char* displayName, int selected) {
  if (instance != 0) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_list.push_back(ListEntry{entry, key, displayName, selected});
  g_changed.notify_all();
}

int KAVEX_STDCALL OnFormatChoice(int, const char*) { return 0; }

bool WaitForState(int value) {
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] {
    for (int state : g_states)
      if (state == value) return true;
    return false;
  });
}

// Waits for the list entry that marks the phone as the one in use.
bool WaitForSelectedEntry(const std::string& displayName, ListEntry* found) {
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] {
    for (const ListEntry& entry : g_list) {
      if (entry.displayName == displayName && entry.selected == 1) {
        *found = entry;
        return true;
      }
    }
    return false;
  });
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

PhoneId IdFromHex(const std::string& hex) {
  PhoneId id;
  for (size_t i = 0; i < 16 && 2 * i + 1 < hex.size(); ++i)
    id.bytes[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  return id;
}

kavex::SocketAddress RecordAddress(const PhoneId& id, bool ipv6) {
  kavex::PhoneList& list = kavex::PhoneList::Instance();
  std::lock_guard<kavex::platform::Mutex> lock(list.lock());
  const kavex::PhoneRecord* record = list.FindLocked(id);
  if (record == nullptr) return {};
  return ipv6 ? record->ipv6Address : record->ipv4Address;
}

// The record's address of that family once it has one (the two families' announcements are read
// from different sockets, so one may be entered a pass after the other).
kavex::SocketAddress WaitForRecordAddress(const PhoneId& id, bool ipv6) {
  const Clock::time_point start = Clock::now();
  kavex::SocketAddress address = RecordAddress(id, ipv6);
  while (address.empty() && Clock::now() - start < std::chrono::milliseconds(kWaitMs)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    address = RecordAddress(id, ipv6);
  }
  return address;
}

// Announces the way a phone does, once a second, through the simulator's control channel (a
// connection of its own, so the test's commands are not held up).
class Announcer {
 public:
  explicit Announcer(const std::string& control) : control_(control) {}
  ~Announcer() { Stop(); }
  bool connected() const { return control_.connected(); }
  // Sends the first announcement now and returns when it has left.
  bool Start() {
    if (control_.Command("announce").rfind("ok", 0) != 0) return false;
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        for (int i = 0; i < 10 && !stop_.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!stop_.load()) control_.Command("announce");
      }
    });
    return true;
  }
  void Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }

 private:
  SimControl control_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("KAVEX_DISCOVERY_SIM_A_CONTROL").empty()) GTEST_SKIP() << "needs the simulators of run_discovery_e2e.sh";
    settings_fixture::DeleteErrorValue();
  }

  // What a host does: initialise one camera, register the callbacks, open it. Nothing else.
  void OpenEngine() {
    EInitialize(1, &OnState);
    SetCallback(0, nullptr, nullptr, &OnPhoneList, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                &OnFormatChoice);
    ASSERT_EQ(EOpen(), 0);
    ASSERT_TRUE(WaitForState(KAVEX_PHONE_IDLE)) << "the open result";
    opened = true;
    // The phone starts announcing once the engine is past its start-up wait, so the time measured
    // is the discovery's and the session's, not the worker's first two seconds.
    std::this_thread::sleep_for(std::chrono::seconds(3));
  }

  void TearDown() override {
    if (opened) EUninitialize(0);
    settings_fixture::DeleteErrorValue();
  }

  // Announces from the simulator at announceControl once a second, starts the stream once the
  // engine has answered the capabilities on one of the phone's session simulators, and checks the
  // host hears of it. Returns the index in sessionControls of the simulator that had the session.
  size_t AnnounceAndStream(const std::string& announceControl, const std::vector<std::string>& sessionControls,
                           const std::string& name) {
    std::vector<std::unique_ptr<SimControl>> sims;
    for (const std::string& address : sessionControls) {
      sims.push_back(std::make_unique<SimControl>(address));
      EXPECT_TRUE(sims.back()->connected()) << address;
      EXPECT_EQ(sims.back()->Command("clear"), "ok");
    }
    Announcer announcer(announceControl);
    EXPECT_TRUE(announcer.connected());
    const Clock::time_point firstAnnouncement = Clock::now();
    EXPECT_TRUE(announcer.Start()) << "the simulator could not announce";

    // The engine sends no format request yet: once it has answered the capabilities (type 17) the
    // phone is told to stream.
    size_t used = sims.size();
    while (used == sims.size() && Clock::now() - firstAnnouncement < std::chrono::milliseconds(kWaitMs)) {
      for (size_t i = 0; i < sims.size() && used == sims.size(); ++i)
        if (sims[i]->Command("count 17") != "ok 0") used = i;
      if (used == sims.size()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (used == sims.size()) {
      ADD_FAILURE() << "the engine did not connect to the announced phone";
      return used;
    }
    EXPECT_EQ(sims[used]->Command("stream on"), "ok");
    EXPECT_TRUE(WaitForState(KAVEX_PHONE_STREAMING));
    long long elapsed;
    std::string states;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(g_streamingAt - firstAnnouncement).count();
      for (size_t i = 0; i < g_states.size(); ++i) {
        const auto at = std::chrono::duration_cast<std::chrono::milliseconds>(g_stateTimes[i] - firstAnnouncement);
        states += " " + std::to_string(g_states[i]) + "@" + std::to_string(at.count());
      }
    }
    std::printf(
        "[ TIMING   ] %s: first announcement to Streaming: %lld ms, session at %s "
        "(host states, ms after the announcement:%s)\n",
        name.c_str(), elapsed, sessionControls[used].c_str(), states.c_str());
    std::fflush(stdout);

    // The list the host is shown names the phone in use and how it is reached.
    ListEntry entry;
    EXPECT_TRUE(WaitForSelectedEntry(name + " [WiFi]", &entry));
    EXPECT_EQ(entry.entry, 0);
    EXPECT_EQ(sims[used]->ListCommand("complaints").size(), 0u)
        << "the simulator found fault with what the engine sent";
    return used;
  }

  static int CountState(int value) {
    std::lock_guard<std::mutex> lock(g_mutex);
    int seen = 0;
    for (int state : g_states) seen += state == value;
    return seen;
  }

  bool opened = false;
};

TEST_F(Discovery, PhoneAnnouncedOverIpv4AndIpv6IsFoundAndStreams) {
  const PhoneId id = IdFromHex(Env("KAVEX_DISCOVERY_SIM_A_ID"));
  OpenEngine();
  // The phone serves its session on both families (two simulators, one identity): whichever
  // announcement is heard first, the connection finds it.
  AnnounceAndStream(Env("KAVEX_DISCOVERY_SIM_A_CONTROL"),
                    {Env("KAVEX_DISCOVERY_SIM_A_CONTROL"), Env("KAVEX_DISCOVERY_SIM_A6_CONTROL")}, "Discovery Phone");
  EXPECT_EQ(CountState(KAVEX_PHONE_FAILED), 0);
  EXPECT_EQ(CountState(KAVEX_PHONE_IDLE), 1) << "only the open result: no session ended";

  // Heard on both families, each at the phone's own address on the session port.
  EXPECT_EQ(WaitForRecordAddress(id, false), kavex::SocketAddress::Ipv4(198, 18, 0, 2, 4699));
  const kavex::SocketAddress six = WaitForRecordAddress(id, true);
  EXPECT_EQ(six.family, kavex::SocketAddress::Family::kIpv6) << six.ToString();
  EXPECT_NE(six.scopeId, 0u) << six.ToString();
  EXPECT_EQ(six.port, 4699);
}

// Only IPv6 link-local: the phone announces on IPv6 alone and serves its session only at its
// link-local address, so the session can only run through the scope id the announcement carried.
TEST_F(Discovery, PhoneAnnouncedOnlyOverIpv6LinkLocalStreamsThroughItsScope) {
  const PhoneId id = IdFromHex(Env("KAVEX_DISCOVERY_SIM_B_ID"));
  OpenEngine();
  AnnounceAndStream(Env("KAVEX_DISCOVERY_SIM_B_CONTROL"), {Env("KAVEX_DISCOVERY_SIM_B_CONTROL")}, "Link Local Phone");
  EXPECT_EQ(CountState(KAVEX_PHONE_FAILED), 0);

  EXPECT_TRUE(RecordAddress(id, false).empty()) << "never heard over IPv4";
  const kavex::SocketAddress six = RecordAddress(id, true);
  EXPECT_EQ(six.family, kavex::SocketAddress::Family::kIpv6);
  EXPECT_EQ(six.address[0], 0xfe);
  EXPECT_EQ(six.address[1], 0x80);
  EXPECT_NE(six.scopeId, 0u) << six.ToString();
  EXPECT_EQ(six.port, 4699);
  SimControl sim(Env("KAVEX_DISCOVERY_SIM_B_CONTROL"));
  const std::string peer = SimControl::Field(sim.Command("state"), "peer");
  EXPECT_NE(peer.find("fe80::6b:76ff:fe78:1"), std::string::npos) << "the engine connected from " << peer;
}

#if !defined(_WIN32)
int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  if (status != 0) ADD_FAILURE() << "failed (" << status << "): " << command;
  return status;
}

// A second link between the namespaces comes up while the engine runs, and a phone announces on
// it. The discovery sockets of the first run are members on pc0 only, so the phone is heard only
// once instance 0 has restarted discovery on the address change. (Wine's address-change
// notification never completes, so this runs natively only.)
TEST_F(Discovery, PhoneOnAnAdapterThatAppearsLaterIsFoundAfterTheAddressChange) {
  const std::string sim = Env("KAVEX_DISCOVERY_SIM_PROGRAM");
  const std::string phoneNs = Env("KAVEX_NETNS_PHONE");
  const std::string work = Env("KAVEX_DISCOVERY_WORK");
  if (sim.empty() || phoneNs.empty() || work.empty()) GTEST_SKIP() << "needs run_discovery_e2e.sh";
  const PhoneId id = IdFromHex(Env("KAVEX_DISCOVERY_SIM_C_ID"));

  OpenEngine();

  struct Cleanup {
    std::string work;
    ~Cleanup() {
      std::system(("kill -TERM $(cat '" + work + "/sim-c.pid' 2>/dev/null) 2>/dev/null").c_str());
      std::system("ip link del pc1 2>/dev/null");
    }
  } cleanup{work};
  // The phone side first, so that pc1 coming up is the last change.
  Shell("ip link add pc1 type veth peer name phone1 netns '" + phoneNs + "'");
  Shell("ip netns exec '" + phoneNs + "' ip addr add 198.18.1.2/24 dev phone1");
  Shell("ip netns exec '" + phoneNs + "' ip link set phone1 up");
  Shell("ip addr add 198.18.1.1/24 dev pc1");
  Shell("ip link set pc1 up");
  Shell("ip netns exec '" + phoneNs + "' '" + sim + "' --quiet --listen 198.18.1.2:4699 --control 198.18.1.2:4704" +
        " --announce-if phone1 --announce-family 4 --announce-interval 0 --id " + Env("KAVEX_DISCOVERY_SIM_C_ID") +
        " --name 'Second Link' --ready-file '" + work + "/sim-c.ready' >'" + work + "/sim-c.log' 2>&1 &" +
        " echo $! >'" + work + "/sim-c.pid'");
  bool ready = false;
  for (int i = 0; i < 100 && !ready; ++i) {
    std::ifstream file(work + "/sim-c.ready");
    std::string line;
    ready = std::getline(file, line) && !line.empty();
    if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(ready) << "the simulator on the second link did not start";

  AnnounceAndStream("198.18.1.2:4704", {"198.18.1.2:4704"}, "Second Link");
  EXPECT_EQ(RecordAddress(id, false), kavex::SocketAddress::Ipv4(198, 18, 1, 2, 4699));
}
#endif

}  // namespace
