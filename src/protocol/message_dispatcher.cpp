#include "protocol/message_dispatcher.h"

#include "protocol/message_catalogue.h"
#include "protocol/phone_announcement.h"
#include "protocol/wire_header.h"
#include "protocol/wire_reader.h"

namespace kavex {

namespace {

constexpr size_t kTextFieldSize = 256;
constexpr size_t kFormatEntrySize = 12;

// A 256-byte text field: up to its first NUL, and never more than 255 bytes, so a field without a
// terminator still gives a bounded text.
std::string TextField(const WireReader& reader, size_t offset) {
  const char* text = reinterpret_cast<const char*>(reader.At(offset));
  size_t length = 0;
  while (length < kTextFieldSize - 1 && text[length] != '\0') ++length;
  return std::string(text, length);
}

void DispatchTextList(SessionHandler& handler, const WireReader& reader) {
  // The count comes from the phone; only texts that lie inside the message are read.
  const uint32_t announced = reader.U32(4);
  const size_t fitting = (reader.length() - 12) / kTextFieldSize;
  const size_t count = announced < fitting ? announced : fitting;
  std::string joined;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) joined += '/';
    joined += TextField(reader, 12 + i * kTextFieldSize);
  }
  handler.relay().ForwardTextList(joined, reader.I32(8));
}

void DispatchCapabilities(SessionHandler& handler, PhoneConnection& connection, const WireReader& reader) {
  const bool hevc = (reader.U8(6) & 1) != 0;
  const uint32_t announced = reader.U32(8);
  const size_t fitting = (reader.length() - 12) / kFormatEntrySize;
  size_t count = announced < fitting ? announced : fitting;
  if (count > kMaxListedFormats) count = kMaxListedFormats;
  std::vector<VideoFormat> formats;
  formats.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const size_t at = 12 + i * kFormatEntrySize;
    formats.push_back(VideoFormat{reader.U32(at), reader.U32(at + 4), reader.F32(at + 8)});
  }
  handler.OnCapabilities(connection, hevc, formats);
}

}  // namespace

void DispatchMessage(SessionHandler& handler, PhoneConnection& connection, const uint8_t* message, size_t length) {
  using namespace message_catalogue;
  const WireReader reader(message, length);
  if (!reader.Has(0, WireHeader::kSize)) return;
  const uint8_t type = WireHeader::Type(reader.U32(0));
  const Layout* layout = Find(type);
  // Types the protocol does not use carry nothing for the engine; a message shorter than its
  // type's layout is dropped, so no field is ever read from beyond it.
  if (layout == nullptr || length < layout->length) return;
  RelayedMessageSink& host = handler.relay();
  switch (type) {
    case kAnnouncement:
      // The same block as the multicast announcement; inside a session its header length is the
      // message's own.
      if (const std::optional<PhoneAnnouncement> announcement = ParsePhoneAnnouncement(message, length))
        handler.OnAnnouncement(connection, announcement->id, announcement->kind, announcement->name);
      break;
    case kGoodbye:
      handler.OnGoodbye(connection);
      break;
    case kHello:
      handler.OnHello(connection);
      break;
    case kStatus:
      handler.OnStatus(connection);
      break;
    case kAudio:
      handler.OnAudioPacket(connection, reader.At(8), length - 8);
      break;
    case kVideo:
      handler.OnVideoPacket(connection, reader.F32(4), reader.At(8), length - 8);
      break;
    case kCapabilities:
      DispatchCapabilities(handler, connection, reader);
      break;
    case kControl:
      host.ForwardPhoneControl(reader.U32(4), reader.U32(8));
      break;
    case kPhoneReport19:
      host.ForwardMessage19(reader.I32(4), reader.I32(8), reader.I32(12), reader.I32(16));
      break;
    case kPhoneReport20:
      host.ForwardMessage20(reader.F32(4), reader.F32(8), reader.F32(12), reader.I32(16));
      break;
    case kPhoneReport21:
      host.ForwardMessage21(reader.F32(4), reader.F32(8), reader.F32(12), reader.F32(16));
      break;
    case kPhoneReport22:
      host.ForwardMessage22(reader.I32(4), reader.I32(8), reader.I32(12), reader.I32(16));
      break;
    case kPasscode:
      handler.OnPasscodeChallenge(connection, reader.U64(8));
      break;
    case kTextList:
      DispatchTextList(handler, reader);
      break;
    case kFocusDistance:
      host.ForwardMessage25(reader.I32(4), reader.F32(8));
      break;
    default:
      break;  // the engine's own messages (4, 9, 11, 12, 17, 18) carry nothing when a phone sends them
  }
}

}  // namespace kavex
