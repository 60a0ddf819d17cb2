#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/phone_id.h"
#include "protocol/message_catalogue.h"

namespace kavex {

// The 280-byte block in which a phone names itself: the multicast announcement on UDP 4698, the
// first thing its probe port 4697 sends, and message type 1 inside a session. Little-endian:
//   0   4    header: length (at least 280) and type 1
//   4   16   identifier
//   20  2    kind
//   22  2    not read
//   24  256  name, up to its first NUL
struct PhoneAnnouncement {
  static constexpr size_t kSize = message_catalogue::LengthOf(message_catalogue::kAnnouncement);
  static constexpr uint8_t kMessageType = 1;
  static constexpr size_t kMaxNameLength = 255;

  PhoneId id;
  uint16_t kind = 0;
  std::string name;  // at most 255 bytes, even when the field holds no NUL
};

// Reads the block at the start of `data`. Nothing unless at least 280 bytes are there and the
// header says type 1 with a length of at least 280; bytes after the block are ignored.
std::optional<PhoneAnnouncement> ParsePhoneAnnouncement(const uint8_t* data, size_t length);

// Reads the fields of a whole 280-byte block whatever its header says (a bridge probe keeps the
// first 280 bytes of a type-1 message, zero-filled when the message was shorter).
using AnnouncementBlock = std::array<uint8_t, PhoneAnnouncement::kSize>;
PhoneAnnouncement ReadAnnouncementBlock(const AnnouncementBlock& block);

}  // namespace kavex
