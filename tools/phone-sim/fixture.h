#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace phonesim {

// Where streamed payloads come from: the packets of a fixture file, played in a loop, or
// synthetic bytes.
//
// Fixture file: the 8 ASCII bytes "PSIMPKT1", then any number of packets, each a u32
// little-endian byte count followed by that many bytes (0 is allowed: an empty packet).
// A packet may hold at most 3,999,992 bytes (so that it fits one message with its 8 bytes of
// header and timestamp); the file at most 256 MiB and at least one packet.
//
// Synthetic payload n of size S: bytes 0-3 hold n as u32 little-endian (when S >= 4), byte i
// (i >= 4) holds (n + i) & 0xff. Easy to check at the far end, meaningless to a decoder.
// Thread: immutable after loading; shared by the session streamers.
class PacketSource {
 public:
  static constexpr char kMagic[9] = "PSIMPKT1";
  static constexpr size_t kMaxPacket = 4000000 - 8;
  static constexpr size_t kMaxFile = 256u << 20;

  static std::shared_ptr<const PacketSource> Load(const std::string& path, std::string* error);
  static std::shared_ptr<const PacketSource> Synthetic(size_t size);
  // Parses the bytes of a fixture file.
  static std::shared_ptr<const PacketSource> Parse(const std::vector<uint8_t>& file, std::string* error);

  // Payload number n (0, 1, ...): the fixture's packet n modulo the packet count.
  std::vector<uint8_t> Payload(uint64_t n) const;
  size_t PacketCount() const { return packets_.size(); }
  bool IsSynthetic() const { return synthetic_; }

  // Writes a fixture file (used by the tests and by whoever makes fixtures).
  static std::vector<uint8_t> Serialize(const std::vector<std::vector<uint8_t>>& packets);

 private:
  bool synthetic_ = false;
  size_t syntheticSize_ = 0;
  std::vector<std::vector<uint8_t>> packets_;
};

}  // namespace phonesim
