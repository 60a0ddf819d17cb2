#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "broker/phone_broker.h"
#include "common/error_log.h"
#include "discovery/phone_list.h"
#include "instance/engine_instance.h"
#include "instance/instance_registry.h"
#include "protocol/wire_writer.h"
#include "recording_connection.h"
#include "session/phone_session.h"
#include "settings_fixture.h"

namespace kavex {
namespace {

std::mutex g_mutex;
std::vector<int> g_states;
std::vector<std::string> g_texts;
std::vector<int> g_message19;
uint64_t g_key = 0;

void KAVEX_STDCALL OnState(int, int value) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_states.push_back(value);
}
void KAVEX_STDCALL OnTextList(int, const char* text, int32_t value) {
  g_texts.push_back(std::string(text) + "#" + std::to_string(value));
}
void KAVEX_STDCALL OnMessage19(int, int32_t a, int32_t b, int32_t c, int32_t d) { g_message19 = {a, b, c, d}; }
uint64_t KAVEX_STDCALL OnPasscodeKey(int, const uint8_t*, const char*) { return g_key; }

std::vector<uint8_t> Message(uint8_t type, std::vector<uint8_t> payload = {}) {
  std::vector<uint8_t> message =
      WireWriter().U32((static_cast<uint32_t>(type) << 24) | static_cast<uint32_t>(payload.size() + 4)).Take();
  message.insert(message.end(), payload.begin(), payload.end());
  return message;
}

uint32_t Field(const std::vector<uint8_t>& message, size_t offset) {
  uint32_t value;
  std::memcpy(&value, message.data() + offset, 4);  // little-endian host in both builds
  return value;
}

// One instance, not opened, fed messages directly as its receive thread would.
class SessionDispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PhoneList::Instance().Clear();
    ErrorLog::RecordError("setup", 0);
    settings_fixture::DeleteErrorValue();
    g_states.clear();
    g_texts.clear();
    g_message19.clear();
    g_key = 0;
    SetHostStateCallback(&OnState);
    instance = EngineInstance::Create(0, InstanceRegistry::Broker(), InstanceRegistry::Cameras());
    phone.bytes = {0x21, 0x43, 0x65, 0x07, 9, 9};
    session = std::make_unique<PhoneSession>(*instance, kavex::InstanceRegistry::Broker(), phone);
    kavex::InstanceRegistry::Broker().OnPhoneFound(
        PhoneSighting::Network(phone, 2, "Phone A", SocketAddress::Ipv4(198, 18, 0, 2, 0), 4699));
    connection = std::make_unique<RecordingConnection>(phone, SocketAddress::Ipv4(198, 18, 0, 2, 4699));
  }
  void TearDown() override {
    instance->Destroy();
    SetHostStateCallback(nullptr);
    settings_fixture::DeleteErrorValue();
  }
  void Deliver(const std::vector<uint8_t>& message) { session->OnPacket(*connection, message.data(), message.size()); }
  std::vector<int> States() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_states;
  }

  PhoneId phone;
  std::shared_ptr<EngineInstance> instance;
  std::unique_ptr<PhoneSession> session;  // the instance's session with the phone, as its receive thread sees it
  std::unique_ptr<RecordingConnection> connection;
};

TEST_F(SessionDispatchTest, HelloWithNothingStoredGetsOnlyTheFourByteAnswer) {
  Deliver(Message(3));
  ASSERT_EQ(connection->sent().size(), 1u);
  EXPECT_EQ(connection->sent()[0], (std::vector<uint8_t>{4, 0, 0, 4}));
}

TEST_F(SessionDispatchTest, StoredErrorGoesToTheFirstOpeningMessageOnly) {
  ErrorLog::RecordError("so", 96);
  Deliver(Message(3));
  Deliver(Message(10, std::vector<uint8_t>(8, 0)));
  const auto sent = connection->sent();
  ASSERT_EQ(connection->sentTypes(), (std::vector<int>{12, 4, 17}));
  const std::vector<uint8_t>& report = sent[0];
  ASSERT_EQ(report.size(), 268u);
  EXPECT_EQ(Field(report, 0), 0x0c00010cu);
  EXPECT_EQ(Field(report, 4), 12u);
  EXPECT_EQ(Field(report, 8), 14u);
  EXPECT_STREQ(reinterpret_cast<const char*>(report.data() + 12), "we:so:96");
  EXPECT_EQ(report.back(), 0);
  EXPECT_EQ(sent[2], (std::vector<uint8_t>{12, 0, 0, 0x11, 12, 0, 0, 0, 14, 0, 0, 0}));
  EXPECT_FALSE(ErrorLog::TakeStoredEntry().deliver) << "the entry was deleted when it was sent";
}

TEST_F(SessionDispatchTest, NumericStoredValueIsReportedEmpty) {
  settings_fixture::StoreNumericErrorValue();
  Deliver(Message(3));
  ASSERT_EQ(connection->sentTypes(), (std::vector<int>{12, 4}));
  EXPECT_EQ(connection->sent()[0][12], 0);
}

TEST_F(SessionDispatchTest, PasscodeChallengeIsAnsweredWithKeyXorChallenge) {
  const uint64_t challenge = 0x0123456789abcdefull;
  std::vector<uint8_t> payload = WireWriter().U32(0).U32(0x89abcdef).U32(0x01234567).Take();

  Deliver(Message(23, payload));  // no callback registered
  EXPECT_EQ(PhoneList::Instance().GetPhoneState(phone), PhoneState::kPasscodeNeeded);
  EXPECT_TRUE(connection->sent().empty());
  EXPECT_EQ(States(), (std::vector<int>{4}));

  g_key = 0xfedcba9876543210ull;
  instance->callbacks().RegisterPasscodeKey(&OnPasscodeKey);
  Deliver(Message(23, payload));
  ASSERT_EQ(connection->sent().size(), 1u);
  const std::vector<uint8_t> answer = connection->sent()[0];
  ASSERT_EQ(answer.size(), 16u);
  EXPECT_EQ(Field(answer, 0), 0x17000010u);
  EXPECT_EQ(Field(answer, 4), 0u);
  const uint64_t expected = g_key ^ challenge;
  EXPECT_EQ(Field(answer, 8), static_cast<uint32_t>(expected));
  EXPECT_EQ(Field(answer, 12), static_cast<uint32_t>(expected >> 32));
  EXPECT_EQ(States(), (std::vector<int>{4})) << "no second report for an unchanged state";
}

TEST_F(SessionDispatchTest, FirstStreamedMessageMarksStreamingOnce) {
  Deliver(Message(8, {0, 0, 0, 0, 1, 2, 3}));
  Deliver(Message(8, {0, 0, 0, 0, 1, 2, 3}));
  Deliver(Message(5));
  EXPECT_EQ(PhoneList::Instance().GetPhoneState(phone), PhoneState::kStreaming);
  EXPECT_EQ(States(), (std::vector<int>{3}));
}

// A pulled cable: the service's removal drops the phone from the list before its stream ends.
// The end is still the host's to hear, once; the camera would show the phone streaming otherwise.
TEST_F(SessionDispatchTest, AStreamThatOutlivesItsListEntryStillReportsItsEnd) {
  PhoneBroker& broker = InstanceRegistry::Broker();
  PhoneList::Instance().Clear();
  broker.OnPhoneFound(PhoneSighting::Multiplexer(phone, 2, 7u, true));
  Deliver(Message(8, {0, 0, 0, 0, 1, 2, 3}));
  broker.OnPhoneLost(PhoneSighting::Multiplexer(PhoneId{}, 0, 7u, true));
  ASSERT_EQ(PhoneList::Instance().Size(), 0u);
  session->OnClosed(*connection);
  session->OnClosed(*connection);
  EXPECT_EQ(States(), (std::vector<int>{3, 0}));
}

// A goodbye from a phone that goes on streaming (or a stray message of that type): the stream
// after it neither marks the phone streaming again, which would keep it from being chosen, nor
// reaches the camera; the phone can still name itself on that connection.
TEST_F(SessionDispatchTest, TheStreamAfterAGoodbyeCountsForNothing) {
  Deliver(Message(8, {0, 0, 0, 0, 1, 2, 3}));
  Deliver(Message(2, std::vector<uint8_t>(54, 0x5a)));
  Deliver(Message(8, {0, 0, 0, 0, 1, 2, 3}));
  Deliver(Message(5));
  Deliver(Message(10, WireWriter().U32(0).U32(1).U32(640).U32(480).F32(30.0f).Take()));
  EXPECT_EQ(PhoneList::Instance().GetPhoneState(phone), PhoneState::kIdle);
  EXPECT_EQ(States(), (std::vector<int>{3, 0}));
  EXPECT_TRUE(instance->capabilities().empty()) << "a stream offered after the goodbye was taken";
}

TEST_F(SessionDispatchTest, TextListJoinsOnlyTheTextsInsideTheMessage) {
  instance->callbacks().Register(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &OnTextList,
                                 nullptr);
  std::vector<uint8_t> payload = WireWriter().U32(2).I32(-7).Take();
  payload.resize(8 + 512, 0);
  payload[8] = 'a';
  payload[8 + 256] = 'b';
  Deliver(Message(24, payload));

  std::vector<uint8_t> lying = WireWriter().U32(1000).I32(3).Take();
  lying.resize(8 + 256, 'x');  // one text, no terminator
  Deliver(Message(24, lying));

  Deliver(Message(24, WireWriter().U32(0).I32(1).Take()));
  ASSERT_EQ(g_texts.size(), 3u);
  EXPECT_EQ(g_texts[0], "a/b#-7");
  EXPECT_EQ(g_texts[1], std::string(255, 'x') + "#3");
  EXPECT_EQ(g_texts[2], "#1");
}

TEST_F(SessionDispatchTest, ShortAndUnknownMessagesChangeNothing) {
  instance->callbacks().Register(nullptr, nullptr, nullptr, &OnMessage19, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr);
  Deliver(Message(19, {1, 0, 0, 0, 2, 0, 0, 0}));  // 12 bytes of a 20-byte layout
  Deliver(Message(23, {1, 2, 3}));
  Deliver(Message(1, std::vector<uint8_t>(100, 1)));
  Deliver(Message(13));
  Deliver(Message(0));
  Deliver({1, 2});  // not even a header
  EXPECT_TRUE(g_message19.empty());
  EXPECT_TRUE(connection->sent().empty());
  EXPECT_EQ(PhoneList::Instance().GetPhoneName(phone), "Phone A");
  EXPECT_TRUE(States().empty());

  Deliver(Message(19, WireWriter().I32(1).I32(-2).I32(3).I32(-4).Take()));
  EXPECT_EQ(g_message19, (std::vector<int>{1, -2, 3, -4}));
}

TEST_F(SessionDispatchTest, AnnouncementRenamesThePhone) {
  std::vector<uint8_t> payload(276, 0);
  std::memcpy(payload.data(), phone.data(), 16);
  payload[16] = 2;
  std::memcpy(payload.data() + 20, "Renamed", 7);
  Deliver(Message(1, payload));
  EXPECT_EQ(PhoneList::Instance().GetPhoneName(phone), "Renamed");
}

TEST_F(SessionDispatchTest, CapabilitiesAreSortedBySizeAndMakeTheConnectionActive) {
  std::vector<uint8_t> payload = WireWriter()
                                     .U32(0x00010000)
                                     .U32(3)
                                     .U32(1920)
                                     .U32(1080)
                                     .F32(30.0f)
                                     .U32(640)
                                     .U32(480)
                                     .F32(30.0f)
                                     .U32(1280)
                                     .U32(720)
                                     .F32(60.0f)
                                     .Take();
  Deliver(Message(10, payload));
  const std::vector<VideoFormat> formats = instance->capabilities();
  ASSERT_EQ(formats.size(), 3u);
  EXPECT_EQ(formats[0].width, 640u);
  EXPECT_EQ(formats[1].width, 1280u);
  EXPECT_EQ(formats[2].width, 1920u);

  Deliver(Message(10, WireWriter().U32(0).U32(5).Take()));  // claims 5 entries, carries none
  ASSERT_EQ(instance->capabilities().size(), 1u);
  EXPECT_EQ(instance->capabilities()[0].height, 480u);

  // Only the first kMaxListedFormats of a longer list count: none of the larger ones after them.
  WireWriter many;
  many.U32(0).U32(kMaxListedFormats + 500);
  for (size_t i = 0; i < kMaxListedFormats + 500; ++i) {
    const bool kept = i < kMaxListedFormats;
    many.U32(kept ? 320 : 3840).U32(kept ? 240 : 2160).F32(30.0f);
  }
  Deliver(Message(10, many.Take()));
  ASSERT_EQ(instance->capabilities().size(), kMaxListedFormats);
  EXPECT_EQ(instance->capabilities().back().width, 320u);
}

TEST_F(SessionDispatchTest, EndingsSetTheStatesThatDecideTheNextChoice) {
  Deliver(Message(23, std::vector<uint8_t>(12, 0)));
  session->OnClosed(*connection);
  EXPECT_EQ(PhoneList::Instance().GetPhoneState(phone), PhoneState::kPasscodeNeeded)
      << "a phone waiting for its passcode keeps that state";

  PhoneList::Instance().ResetStateToIdle(phone);
  Deliver(Message(8, {0, 0, 0, 0}));
  Deliver(Message(2));
  EXPECT_EQ(PhoneList::Instance().GetPhoneState(phone), PhoneState::kIdle);
  EXPECT_TRUE(instance->currentPhone().IsZero());

  // A failure of the connection that said goodbye is that session's normal end; a later
  // connection to the phone that fails drops the address.
  session->OnFailed(*connection);
  EXPECT_EQ(PhoneList::Instance().Size(), 1u);
  RecordingConnection next(phone, connection->peerAddress());
  session->OnFailed(next);
  EXPECT_EQ(PhoneList::Instance().GetPhoneState(phone), PhoneState::kIdle)
      << "the failure dropped the only address, so the record is gone";
  EXPECT_EQ(PhoneList::Instance().Size(), 0u);
}

}  // namespace
}  // namespace kavex
