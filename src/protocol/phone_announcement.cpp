#include "protocol/phone_announcement.h"

#include "protocol/wire_header.h"
#include "protocol/wire_reader.h"

namespace kavex {

namespace {

constexpr size_t kIdOffset = 4;
constexpr size_t kKindOffset = 20;
constexpr size_t kNameOffset = 24;

// The fields of a whole block: its identifier, kind and name.
PhoneAnnouncement ReadFields(const WireReader& reader) {
  PhoneAnnouncement announcement;
  announcement.id = PhoneId::FromBytes(reader.At(kIdOffset));
  announcement.kind = reader.U16(kKindOffset);
  // A field without a terminator still yields a bounded name: the last byte is never part of it.
  const char* name = reinterpret_cast<const char*>(reader.At(kNameOffset));
  size_t nameLength = 0;
  while (nameLength < PhoneAnnouncement::kMaxNameLength && name[nameLength] != '\0') ++nameLength;
  announcement.name.assign(name, nameLength);
  return announcement;
}

}  // namespace

std::optional<PhoneAnnouncement> ParsePhoneAnnouncement(const uint8_t* data, size_t length) {
  const WireReader reader(data, length);
  if (data == nullptr || !reader.Has(0, PhoneAnnouncement::kSize)) return std::nullopt;
  const uint32_t header = reader.U32(0);
  if (WireHeader::Type(header) != PhoneAnnouncement::kMessageType ||
      WireHeader::Length(header) < PhoneAnnouncement::kSize)
    return std::nullopt;
  return ReadFields(reader);
}

PhoneAnnouncement ReadAnnouncementBlock(const AnnouncementBlock& block) {
  return ReadFields(WireReader(block.data(), block.size()));
}

}  // namespace kavex
