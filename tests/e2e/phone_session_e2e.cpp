// The engine against the phone simulator over the test network: a phone entered through the
// network listener is chosen, connected, answered and streams; drops of every kind end the session
// with the right state and the instance chooses again; a passcode-protected phone waits for the
// host's passcode. The simulators are started by run_phone_session_e2e.sh, on the phone side.
//
// Each case runs in its own process (an engine's instances are opened once per process).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/instance_table.h"
#include "api/passcode_key.h"
#include "broker/phone_broker.h"
#include "common/error_log.h"
#include "discovery/phone_list.h"
#include "instance/engine_instance.h"
#include "instance/instance_registry.h"
#include "kavex_engine.h"
#include "settings_fixture.h"
#include "sim_control.h"

namespace {

using kavex::PhoneId;
using kavex::PhoneState;

constexpr int kWaitMs = 20000;  // generous: under Wine a connect round can take a while

std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<int> g_states;
uint64_t g_key = 0;
int g_keyQueries = 0;

void KAVEX_STDCALL OnState(int instance, int value) {
  if (instance != 0) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_states.push_back(value);
  g_changed.notify_all();
}

int KAVEX_STDCALL OnFormatChoice(int, const char*) { return 0; }

uint64_t KAVEX_STDCALL OnPasscodeKey(int, const uint8_t*, const char*) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_keyQueries;
  return g_key;
}

// Waits until the host has been told `value` for the count-th time; on a time-out the result names
// every state the host was told.
::testing::AssertionResult WaitForState(int value, int count = 1) {
  std::unique_lock<std::mutex> lock(g_mutex);
  const bool reached = g_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] {
    int seen = 0;
    for (int state : g_states) seen += state == value;
    return seen >= count;
  });
  if (reached) return ::testing::AssertionSuccess();
  std::string told;
  for (int state : g_states) told += " " + std::to_string(state);
  return ::testing::AssertionFailure() << "the host was told:" << told;
}

int CountState(int value) {
  std::lock_guard<std::mutex> lock(g_mutex);
  int seen = 0;
  for (int state : g_states) seen += state == value;
  return seen;
}

PhoneId IdFromHex(const std::string& hex) {
  PhoneId id;
  for (size_t i = 0; i < 16 && 2 * i + 1 < hex.size(); ++i)
    id.bytes[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  return id;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

struct Sim {
  PhoneId id;
  std::string name;
  uint16_t port;
  std::unique_ptr<SimControl> control;
};

class PhoneSession : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("KAVEX_SIM_A_CONTROL").empty()) GTEST_SKIP() << "needs the simulators of run_phone_session_e2e.sh";
    kavex::ErrorLog::RecordError("setup", 0);
    settings_fixture::DeleteErrorValue();
    simA = Sim{IdFromHex(Env("KAVEX_SIM_A_ID")), "Phone A", 4699,
               std::make_unique<SimControl>(Env("KAVEX_SIM_A_CONTROL"))};
    simB =
        Sim{IdFromHex(Env("KAVEX_SIM_B_ID")), "Locked", 4701, std::make_unique<SimControl>(Env("KAVEX_SIM_B_CONTROL"))};
    ASSERT_TRUE(simA.control->connected());
    ASSERT_TRUE(simB.control->connected());
    ASSERT_EQ(simA.control->Command("clear"), "ok");
    ASSERT_EQ(simB.control->Command("clear"), "ok");
  }

  void OpenEngine() {
    EInitialize(1, &OnState);
    SetCallback(0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &OnFormatChoice);
    SetIdleCallback(0, &OnPasscodeKey);
    ASSERT_EQ(EOpen(), 0);
    ASSERT_TRUE(WaitForState(0));
    instance = kavex::InstanceTable::Instance().Get(0);
    ASSERT_NE(instance, nullptr);
  }

  void TearDown() override {
    if (instance != nullptr) EUninitialize(0);
    settings_fixture::DeleteErrorValue();
  }

  // What the phone-side discovery would report: the phone heard at 198.18.0.2.
  void Announce(const Sim& sim) {
    kavex::InstanceRegistry::Broker().OnPhoneFound(
        kavex::PhoneSighting::Network(sim.id, 2, sim.name, kavex::SocketAddress::Ipv4(198, 18, 0, 2, 0), sim.port));
  }

  std::vector<std::string> Received(SimControl& control, int type) {
    return control.ListCommand("received " + std::to_string(type));
  }

  Sim simA;
  Sim simB;
  std::shared_ptr<kavex::EngineInstance> instance;
};

TEST_F(PhoneSession, PhoneIsChosenConnectedAnsweredAndStreams) {
  kavex::ErrorLog::RecordError("so", 96);
  OpenEngine();
  Announce(simA);
  SimControl& sim = *simA.control;
  ASSERT_EQ(sim.Command("wait-received 17 " + std::to_string(kWaitMs)), "ok");
  EXPECT_TRUE(WaitForState(KAVEX_PHONE_CONNECTING));

  // Hello is answered by the stored report and type 4; capabilities by type 17 only.
  const std::vector<std::string> reports = Received(sim, 12);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("len=268"), std::string::npos);
  // "we:so:96" in hex, right after the two protocol values 12 and 14.
  EXPECT_NE(reports[0].find("hex=0c01000c0c0000000e00000077653a736f3a393600"), std::string::npos) << reports[0];
  EXPECT_EQ(Received(sim, 4).size(), 1u);
  const std::vector<std::string> answers = Received(sim, 17);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_NE(answers[0].find("hex=0c0000110c0000000e000000"), std::string::npos) << answers[0];
  EXPECT_FALSE(kavex::ErrorLog::TakeStoredEntry().deliver) << "delivered once and deleted";

  ASSERT_EQ(sim.Command("stream on"), "ok");
  ASSERT_TRUE(WaitForState(3));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(CountState(3), 1) << "the host hears of streaming once";
  EXPECT_EQ(kavex::PhoneList::Instance().GetPhoneState(simA.id), PhoneState::kStreaming);
  EXPECT_EQ(instance->currentPhone(), simA.id);
  EXPECT_EQ(sim.ListCommand("complaints").size(), 0u) << "the simulator found fault with what the engine sent";
}

TEST_F(PhoneSession, GoodbyeSilenceAndResetEndTheSessionAndThePhoneIsChosenAgain) {
  OpenEngine();
  Announce(simA);
  SimControl& sim = *simA.control;
  ASSERT_EQ(sim.Command("wait-received 17 " + std::to_string(kWaitMs)), "ok");
  ASSERT_EQ(sim.Command("stream on"), "ok");
  ASSERT_TRUE(WaitForState(3, 1));

  // Goodbye: Idle at once, the connection stays until the phone closes it.
  ASSERT_EQ(sim.Command("goodbye close"), "ok");
  ASSERT_TRUE(WaitForState(0, 2));  // the first 0 was the open result
  ASSERT_EQ(sim.Command("wait-received 17 " + std::to_string(kWaitMs) + " 2"), "ok") << "chosen again";
  ASSERT_EQ(sim.Command("stream on"), "ok");
  ASSERT_TRUE(WaitForState(3, 2));

  // Silence: no complete message for 10 s ends the connection as closed (Idle, not Failed).
  ASSERT_EQ(sim.Command("silence"), "ok");
  ASSERT_TRUE(WaitForState(0, 3));
  EXPECT_EQ(CountState(1), 0);
  ASSERT_EQ(sim.Command("wait-received 17 " + std::to_string(kWaitMs) + " 3"), "ok");
  ASSERT_EQ(sim.Command("stream on"), "ok");
  ASSERT_TRUE(WaitForState(3, 3));

  // A reset is an end of the stream too. The stream stops first: a reset that meets one of the
  // engine's acknowledgements on its way out fails that send, and a failed send is a failed
  // connection, which is another case.
  ASSERT_EQ(sim.Command("stream off"), "ok");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(sim.Command("reset"), "ok");
  ASSERT_TRUE(WaitForState(0, 4));
  ASSERT_EQ(sim.Command("wait-received 17 " + std::to_string(kWaitMs) + " 4"), "ok");
  EXPECT_EQ(CountState(1), 0) << "no session ended as failed";
  EXPECT_EQ(kavex::PhoneList::Instance().Size(), 1u);
}

TEST_F(PhoneSession, OversizeFailsWithItsDiagnosticAndTheNextPhoneReceivesIt) {
  OpenEngine();
  Announce(simA);
  SimControl& sim = *simA.control;
  ASSERT_EQ(sim.Command("wait-received 17 " + std::to_string(kWaitMs)), "ok");
  ASSERT_EQ(sim.Command("stream on"), "ok");
  ASSERT_TRUE(WaitForState(3));
  ASSERT_EQ(sim.Command("stream off"), "ok");
  ASSERT_EQ(sim.Command("oversize 5000000 8").substr(0, 2), "ok");
  ASSERT_TRUE(WaitForState(1)) << "an oversize header ends the session as failed";
  // The failed address was the phone's only one: it leaves the list and is not tried again.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(kavex::PhoneList::Instance().Size(), 0u);

  // Heard again, it connects and receives the stored diagnostic.
  ASSERT_EQ(sim.Command("clear"), "ok");
  Announce(simA);
  ASSERT_EQ(sim.Command("wait-received 17 " + std::to_string(kWaitMs)), "ok");
  const std::vector<std::string> reports = Received(sim, 12);
  ASSERT_EQ(reports.size(), 1u);
  // "so.5000000.8-L" in hex: the rest names the last sent type and the buffer state.
  EXPECT_NE(reports[0].find("77653a736f2e353030303030302e382d4c"), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find("3a32303200"), std::string::npos) << ":202 closes the text";
}

TEST_F(PhoneSession, PasscodePhoneWaitsForThePasscodeAndStreamsWithTheRightKey) {
  g_key = kavex::PasscodeKey("0000");
  OpenEngine();
  Announce(simB);
  SimControl& sim = *simB.control;
  ASSERT_EQ(sim.Command("wait-passcode " + std::to_string(kWaitMs)), "ok passcode=wrong");
  ASSERT_TRUE(WaitForState(4));
  ASSERT_EQ(sim.Command("wait-disconnected " + std::to_string(kWaitMs)), "ok");
  // Refused: the phone keeps PasscodeNeeded and is not chosen again.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ(kavex::PhoneList::Instance().GetPhoneState(simB.id), PhoneState::kPasscodeNeeded);
  EXPECT_EQ(SimControl::Field(sim.Command("state"), "sessions"), "1");

  // The user types the passcode: the host keeps the key and hands it out on the next challenge.
  const uint64_t key = ESetPasscode(simB.id.data(), "1234");
  EXPECT_EQ(key, kavex::PasscodeKey("1234"));
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_key = key;
  }
  ASSERT_EQ(sim.Command("wait-received 17 " + std::to_string(kWaitMs)), "ok");
  EXPECT_EQ(SimControl::Field(sim.Command("state"), "passcode"), "ok");
  ASSERT_EQ(sim.Command("stream on"), "ok");
  ASSERT_TRUE(WaitForState(3));
  EXPECT_EQ(SimControl::Field(sim.Command("state"), "sessions"), "2");
}

}  // namespace
