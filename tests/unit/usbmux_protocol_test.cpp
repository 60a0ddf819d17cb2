// The multiplexing service's messages as our client writes and reads them: framing, the requests'
// fields, and replies that are broken or lie.
#include <gtest/gtest.h>

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

#include "usbmux/usbmux_plist_nesting.h"
#include "usbmux/usbmux_protocol.h"

namespace kavex::usbmux {
namespace {

// The payload of a framed request as a dictionary (the caller frees it).
plist_t PayloadOf(const std::vector<uint8_t>& message) {
  plist_t dict = nullptr;
  plist_from_xml(reinterpret_cast<const char*>(message.data()) + Header::kSize,
                 static_cast<uint32_t>(message.size() - Header::kSize), &dict);
  return dict;
}

uint64_t UintIn(plist_t dict, const char* key) {
  uint64_t value = 0;
  plist_get_uint_val(plist_dict_get_item(dict, key), &value);
  return value;
}

std::vector<uint8_t> Xml(const std::string& body) {
  const std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>" + body + "</dict></plist>";
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::optional<Reply> Parse(const std::string& body) {
  const std::vector<uint8_t> xml = Xml(body);
  return ParsePayload(xml.data(), xml.size());
}

std::string Repeat(const std::string& piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

bool Within(const std::string& xml, size_t limit) {
  return XmlPlistNestingWithin(reinterpret_cast<const uint8_t*>(xml.data()), xml.size(), limit);
}

// Runs body on a thread with the stack of a usual Windows thread (1 MiB), the event thread's.
#ifdef _WIN32
template <typename Body>
DWORD WINAPI RunBody(void* body) {
  (*static_cast<Body*>(body))();
  return 0;
}

template <typename Body>
void OnOneMegabyteStack(Body body) {
  HANDLE thread = CreateThread(nullptr, 1 << 20, RunBody<Body>, &body, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}
#else
template <typename Body>
void* RunBody(void* body) {
  (*static_cast<Body*>(body))();
  return nullptr;
}

template <typename Body>
void OnOneMegabyteStack(Body body) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 1 << 20);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, RunBody<Body>, &body), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}
#endif

TEST(UsbmuxProtocol, RequestsAreFramedWithTheirFieldsAndPortsInNetworkOrder) {
  const std::vector<uint8_t> connect = ConnectRequest(7, 42, 4699);
  const std::optional<Header> header = ParseHeader(connect.data(), connect.size());
  ASSERT_TRUE(header);
  EXPECT_EQ(header->length, connect.size());
  EXPECT_EQ(header->tag, 7u);
  plist_t dict = PayloadOf(connect);
  ASSERT_NE(dict, nullptr);
  char* type = nullptr;
  plist_get_string_val(plist_dict_get_item(dict, "MessageType"), &type);
  EXPECT_STREQ(type, "Connect");
  std::free(type);
  EXPECT_EQ(UintIn(dict, "DeviceID"), 42u);
  EXPECT_EQ(UintIn(dict, "PortNumber"), 0x5B12u);  // 4699 = 0x125B, bytes swapped
  plist_free(dict);

  const uint8_t record[] = {1, 0, 2, 0xff};
  const std::vector<uint8_t> save = SavePairRecordRequest(8, "udid-1", 0, record, sizeof record);
  dict = PayloadOf(save);
  ASSERT_NE(dict, nullptr);
  EXPECT_EQ(plist_dict_get_item(dict, "DeviceID"), nullptr);  // 0 is "no device"
  char* bytes = nullptr;
  uint64_t size = 0;
  plist_get_data_val(plist_dict_get_item(dict, "PairRecordData"), &bytes, &size);
  ASSERT_EQ(size, sizeof record);
  EXPECT_EQ(std::memcmp(bytes, record, sizeof record), 0);
  std::free(bytes);
  plist_free(dict);
}

TEST(UsbmuxProtocol, HeadersThatCannotBeAMessageAreRefused) {
  std::vector<uint8_t> message = ListenRequest(1);
  ASSERT_TRUE(ParseHeader(message.data(), message.size()));
  EXPECT_FALSE(ParseHeader(message.data(), 15));
  for (const uint32_t length : {0u, 15u, Header::kMaxLength + 1, 0xffffffffu}) {
    std::vector<uint8_t> bad = message;
    for (int i = 0; i < 4; ++i) bad[i] = static_cast<uint8_t>(length >> (8 * i));
    EXPECT_FALSE(ParseHeader(bad.data(), bad.size())) << length;
  }
  message[8] = 1;  // the old binary dialect's result type
  EXPECT_FALSE(ParseHeader(message.data(), message.size()));
}

TEST(UsbmuxProtocol, EventsAndListsGiveDeviceRecordsCutToTheirFields) {
  const std::string properties =
      "<key>Properties</key><dict><key>ConnectionType</key><string>USB</string>"
      "<key>ProductID</key><integer>4776</integer><key>SerialNumber</key><string>" +
      std::string(80, 'A') + "</string></dict>";
  const std::optional<Reply> attached =
      Parse("<key>MessageType</key><string>Attached</string><key>DeviceID</key><integer>5</integer>" + properties);
  ASSERT_TRUE(attached);
  EXPECT_EQ(attached->kind, Reply::Kind::kAttached);
  EXPECT_EQ(attached->device.handle, 5u);
  EXPECT_EQ(attached->device.product_id, 4776u);
  EXPECT_EQ(attached->device.conn_type, CONNECTION_TYPE_USB);
  EXPECT_EQ(std::string(attached->device.udid), std::string(43, 'A'));  // cut, terminated

  const std::optional<Reply> list = Parse(
      "<key>DeviceList</key><array>"
      "<dict><key>MessageType</key><string>Attached</string><key>DeviceID</key><integer>5</integer>" +
      properties +
      "</dict><dict><key>DeviceID</key><integer>6</integer></dict>"  // no properties: skipped
      "<dict><key>DeviceID</key><integer>9</integer><key>Properties</key><dict>"
      "<key>ConnectionType</key><string>Network</string><key>NetworkAddress</key><data>" +
      std::string(400, 'A') + "</data></dict></dict></array>");
  ASSERT_TRUE(list);
  ASSERT_EQ(list->devices.size(), 2u);
  EXPECT_EQ(list->devices[1].handle, 9u);
  EXPECT_EQ(list->devices[1].conn_type, CONNECTION_TYPE_NETWORK);
  EXPECT_EQ(static_cast<uint8_t>(list->devices[1].conn_data[0]), 0x00u);  // base64 "AAAA" is zeros
  const std::optional<Reply> detached =
      Parse("<key>MessageType</key><string>Detached</string><key>DeviceID</key><integer>5</integer>");
  ASSERT_TRUE(detached);
  EXPECT_EQ(detached->kind, Reply::Kind::kDetached);
  EXPECT_EQ(detached->device.handle, 5u);
}

TEST(UsbmuxProtocol, RepliesThatSayNothingKnownAreNotMessages) {
  const std::optional<Reply> result =
      Parse("<key>MessageType</key><string>Result</string><key>Number</key><integer>3</integer>");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->number, 3u);
  for (const char* body : {
           "<key>MessageType</key><string>Result</string>",  // no number
           "<key>MessageType</key><string>Result</string><key>Number</key><string>0</string>",
           "<key>MessageType</key><string>Detached</string>",  // no device
           "<key>MessageType</key><string>Attached</string><key>DeviceID</key><integer>1</integer>",
           "<key>MessageType</key><string>Whatever</string>",
           "<key>DeviceList</key><string>none</string>",
       })
    EXPECT_FALSE(Parse(body)) << body;
  const std::string garbage = "<plist><dict><key>MessageType</key>";
  EXPECT_FALSE(ParsePayload(reinterpret_cast<const uint8_t*>(garbage.data()), garbage.size()));
  EXPECT_FALSE(ParsePayload(nullptr, 0));
}

TEST(UsbmuxProtocol, RepliesNestedDeeperThanTheBoundAreRefusedBeforeTheyAreRead) {
  // As many arrays as the length cap holds, never closed: read as they are, the property-list
  // library builds a tree that deep and frees it one call per level, which overflows the stack.
  const std::string head = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
  const std::string deep = head + Repeat("<array>", (Header::kMaxLength - head.size()) / 7);
  bool parsed = true;
  OnOneMegabyteStack(
      [&] { parsed = ParsePayload(reinterpret_cast<const uint8_t*>(deep.data()), deep.size()).has_value(); });
  EXPECT_FALSE(parsed);

  // The bound counts the reply itself: a Result with arrays at the limit is read, one more is not.
  const auto nested = [](size_t arrays) {
    return "<key>MessageType</key><string>Result</string><key>Number</key><integer>0</integer>"
           "<key>Extra</key>" +
           Repeat("<array>", arrays) + Repeat("</array>", arrays);
  };
  EXPECT_TRUE(Parse(nested(kMaxPlistNesting - 1)));
  EXPECT_FALSE(Parse(nested(kMaxPlistNesting)));
}

TEST(UsbmuxProtocol, TheNestingScanReadsTagsAsTheLibraryDoes) {
  // Each opens one container more than it seems to (a scan that took it at face value would let
  // the nesting through uncounted): a '>' or "/>" in quotes is no end of the tag; a name ends at
  // a NUL; a closing tag in a comment or in CDATA closes nothing.
  const std::string opens[] = {
      "<array a=\"/>\">",
      std::string("<array\0x>", 9),
      "<array><!-- </array> -->",
      "<array><string><![CDATA[</array>]]></string>",
  };
  for (const std::string& open : opens) {
    EXPECT_TRUE(Within("<plist>" + Repeat(open, 3), 3)) << open;
    EXPECT_FALSE(Within("<plist>" + Repeat(open, 4), 3)) << open;
  }
  // And what opens nothing is not counted: empty containers, tags in comments, instructions and
  // DOCTYPEs, closed siblings.
  EXPECT_TRUE(
      Within("<?xml v=\"<array>\"?><!DOCTYPE plist [<!ELEMENT array>]><plist><array><array/>"
             "<array /><!-- <array><array> --><array></array><array></array></array></plist>",
             2));
}

}  // namespace
}  // namespace kavex::usbmux
