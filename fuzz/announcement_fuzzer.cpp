// Datagrams on the announcement port, as the network discovery reads them: each parsed as a
// phone's announcement and, when it is one, reported into a phone list from the address it came
// from. The same bytes also go through the bridge probe's reading of a 280-byte block.
//
// Input: records of one byte choosing the sender (bit 7: IPv6, low bits: the last address byte),
// two bytes of datagram length (little-endian, cut to what is left) and the datagram.
//
// Besides the sanitizers' checks: an announcement is only read from a datagram of at least 280
// bytes of type 1 whose header claims at least that much; its name is at most 255 bytes without a
// NUL and is what the block holds; the block reading agrees with it; the list keeps at most its
// bound of network-only records, every one with a bounded name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "discovery/phone_list.h"
#include "protocol/phone_announcement.h"

namespace kavex {
namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

constexpr size_t kMaxDatagram = 2048;  // the discovery's receive buffer

void OneDatagram(PhoneList& list, uint8_t sender, const uint8_t* data, size_t size) {
  const std::optional<PhoneAnnouncement> parsed = ParsePhoneAnnouncement(data, size);
  if (size < PhoneAnnouncement::kSize || data[3] != PhoneAnnouncement::kMessageType ||
      (static_cast<uint32_t>(data[0]) | data[1] << 8 | data[2] << 16) < PhoneAnnouncement::kSize) {
    Check(!parsed);
  }

  AnnouncementBlock block{};
  std::memcpy(block.data(), data, size < block.size() ? size : block.size());
  const PhoneAnnouncement read = ReadAnnouncementBlock(block);
  Check(read.name.size() <= PhoneAnnouncement::kMaxNameLength);
  Check(read.name.find('\0') == std::string::npos);
  Check(std::memcmp(read.name.data(), block.data() + 24, read.name.size()) == 0);
  if (!parsed) return;
  Check(parsed->id == read.id && parsed->kind == read.kind && parsed->name == read.name);

  SocketAddress from;
  if ((sender & 0x80) != 0) {
    uint8_t v6[16] = {0xfe, 0x80};
    v6[15] = sender & 0x7f;
    from = SocketAddress::Ipv6(v6, 4698, 2);
  } else {
    from = SocketAddress::Ipv4(198, 18, 0, sender, 4698);
  }
  list.ReportNetworkPhone(parsed->id, parsed->kind, parsed->name, from, 4699);
  Check(list.GetPhoneName(parsed->id).size() <= PhoneRecord::kMaxNameLength);
}

}  // namespace
}  // namespace kavex

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kavex;
  PhoneList list;
  size_t at = 0;
  while (size - at >= 3) {
    const uint8_t sender = data[at];
    size_t length = static_cast<size_t>(data[at + 1] | data[at + 2] << 8);
    at += 3;
    if (length > size - at) length = size - at;
    if (length > kMaxDatagram) length = kMaxDatagram;
    OneDatagram(list, sender, data + at, length);
    at += length;
  }
  std::lock_guard<std::mutex> lock(list.lock());
  Check(list.records().size() <= PhoneList::kMaxNetworkOnlyRecords);
  for (const auto& record : list.records()) {
    Check(record->name.size() <= PhoneRecord::kMaxNameLength);
    Check(!record->ipv4Address.empty() || !record->ipv6Address.empty());
  }
  return 0;
}
