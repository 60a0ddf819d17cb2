#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "api/passcode_key.h"
#include "protocol/control_messages.h"
#include "protocol/media_messages.h"
#include "protocol/message_catalogue.h"
#include "protocol/session_messages.h"

namespace kavex {
namespace {

uint32_t Field(const std::vector<uint8_t>& message, size_t offset) {
  return static_cast<uint32_t>(message.at(offset)) | (static_cast<uint32_t>(message.at(offset + 1)) << 8) |
         (static_cast<uint32_t>(message.at(offset + 2)) << 16) | (static_cast<uint32_t>(message.at(offset + 3)) << 24);
}

uint32_t Bits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// The builders and the dispatcher read one catalogue: each built message's header names its type
// and exactly the catalogue's length, and no type is listed twice.
TEST(MessageCatalogue, EveryBuilderWritesItsTypesLayout) {
  using namespace message_catalogue;
  const auto format = media_messages::FormatRequest(1, VideoFormat{1280, 720, 30.0f});
  const auto ack = media_messages::DecodeAck(1.0f, 0.01f, 0.002f);
  const std::vector<std::pair<Type, std::vector<uint8_t>>> built = {
      {kHelloAnswer, session_messages::HelloAnswer()},
      {kCapabilitiesAnswer, session_messages::CapabilitiesAnswer(12, 14)},
      {kErrorReport, session_messages::ErrorReport(12, 14, std::string(400, 'x'))},
      {kPasscode, session_messages::PasscodeAnswer(1, 2)},
      {kControl, control_messages::ControlChange(4, 1)},
      {kFocus, control_messages::Focus(0.5f, 0.5f, 1)},
      {kFocusDistance, control_messages::FocusDistance(1, 0.5f)},
      {kFormatRequest, std::vector<uint8_t>(format.begin(), format.end())},
      {kDecodeAck, std::vector<uint8_t>(ack.begin(), ack.end())},
  };
  for (const auto& [type, message] : built) {
    SCOPED_TRACE(Find(type)->name);
    ASSERT_EQ(message.size(), LengthOf(type));
    EXPECT_EQ(WireHeader::Type(Field(message, 0)), type);
    EXPECT_EQ(WireHeader::Length(Field(message, 0)), message.size());
  }
  for (const Layout& layout : kLayouts) EXPECT_EQ(Find(layout.type), &layout) << layout.name;
  EXPECT_EQ(Find(0), nullptr);
  EXPECT_EQ(Find(13), nullptr);
}

TEST(ButtonEventMessage, EachCodeFillsTheValueFieldItsOwnWay) {
  struct Case {
    int code;
    int value;
    uint32_t field;
  };
  const Case cases[] = {
      {2, 99, 0},
      {3, -7, 0},
      {4, -7, static_cast<uint32_t>(-7)},
      {5, 99, 0},
      {6, 123456, 123456},
      {7, -5, Bits(-1.0f)},
      {7, 5000, Bits(0.5f)},
      {7, 0, Bits(0.0f)},
      {8, -5, Bits(-0.0005f)},
      {8, 10000, Bits(1.0f)},
      {9, 3, 3},
      {10, 3, 0},
      {11, 3, 2},
      {14, -1, 0xffffffffu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    const std::vector<uint8_t> message = control_messages::ButtonEvent(c.code, c.value);
    ASSERT_EQ(message.size(), 12u);
    EXPECT_EQ(Field(message, 0), 0x1000000cu);
    EXPECT_EQ(Field(message, 4), static_cast<uint32_t>(c.code));
    EXPECT_EQ(Field(message, 8), c.field);
  }
  // Division happens in single precision: -5 / 10000 as floats, not as doubles rounded afterwards.
  EXPECT_EQ(Field(control_messages::ButtonEvent(8, -5), 8), Bits(static_cast<float>(-5) / 10000.0f));
}

TEST(ButtonEventMessage, CodesOutsideTheTableBuildNothing) {
  for (int code : {-1, 0, 1, 12, 13, 15, 1000}) EXPECT_TRUE(control_messages::ButtonEvent(code, 1).empty()) << code;
}

TEST(FocusMessages, LayoutAndFlagWidening) {
  const std::vector<uint8_t> focus = control_messages::Focus(0.25f, -2.0f, 0xff);
  ASSERT_EQ(focus.size(), 16u);
  EXPECT_EQ(Field(focus, 0), 0x12000010u);
  EXPECT_EQ(Field(focus, 4), Bits(0.25f));
  EXPECT_EQ(Field(focus, 8), Bits(-2.0f));
  EXPECT_EQ(Field(focus, 12), 255u);

  const std::vector<uint8_t> distance = control_messages::FocusDistance(-3, 1.75f);
  ASSERT_EQ(distance.size(), 12u);
  EXPECT_EQ(Field(distance, 0), 0x1900000cu);
  EXPECT_EQ(Field(distance, 4), static_cast<uint32_t>(-3));
  EXPECT_EQ(Field(distance, 8), Bits(1.75f));

  const std::vector<uint8_t> control = control_messages::ControlChange(2, 1);
  EXPECT_EQ(Field(control, 0), 0x1000000cu);
  EXPECT_EQ(Field(control, 8), 1u);
}

TEST(PasscodeKey, FnvOneA64WithSignExtendedBytes) {
  EXPECT_EQ(PasscodeKey(""), 0xcbf29ce484222325ull);
  EXPECT_EQ(PasscodeKey(nullptr), 0xcbf29ce484222325ull);
  // Published FNV-1a 64 test vectors.
  EXPECT_EQ(PasscodeKey("a"), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(PasscodeKey("foobar"), 0x85944171f73967e8ull);

  // One byte of 0xE9: the sign-extended byte flips the upper 56 bits as well.
  const uint64_t signExtended = (0xcbf29ce484222325ull ^ 0xffffffffffffffe9ull) * 0x100000001b3ull;
  const uint64_t textbook = (0xcbf29ce484222325ull ^ 0xe9ull) * 0x100000001b3ull;
  EXPECT_EQ(PasscodeKey("\xe9"), signExtended);
  EXPECT_NE(PasscodeKey("\xe9"), textbook);
}

}  // namespace
}  // namespace kavex
