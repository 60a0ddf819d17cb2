#include "fixture.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "wire.h"

namespace phonesim {

constexpr char PacketSource::kMagic[9];

std::shared_ptr<const PacketSource> PacketSource::Load(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open fixture " + path;
    return nullptr;
  }
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0 || static_cast<uint64_t>(size) > kMaxFile) {
    *error = "fixture " + path + " is larger than 256 MiB or unreadable";
    return nullptr;
  }
  in.seekg(0, std::ios::beg);
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  if (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), size)) {
    *error = "cannot read fixture " + path;
    return nullptr;
  }
  auto source = Parse(bytes, error);
  if (!source) *error = path + ": " + *error;
  return source;
}

std::shared_ptr<const PacketSource> PacketSource::Parse(const std::vector<uint8_t>& file, std::string* error) {
  if (file.size() < 8 || std::memcmp(file.data(), kMagic, 8) != 0) {
    *error = "not a fixture file (it must start with PSIMPKT1)";
    return nullptr;
  }
  auto source = std::make_shared<PacketSource>();
  size_t at = 8;
  while (at < file.size()) {
    if (file.size() - at < 4) {
      *error = "truncated packet length at offset " + std::to_string(at);
      return nullptr;
    }
    const uint32_t length = wire::GetU32(file.data() + at);
    at += 4;
    if (length > kMaxPacket) {
      *error = "packet " + std::to_string(source->packets_.size()) + " claims " + std::to_string(length) +
               " bytes, more than " + std::to_string(kMaxPacket);
      return nullptr;
    }
    if (file.size() - at < length) {
      *error = "packet " + std::to_string(source->packets_.size()) + " is cut short (" + std::to_string(length) +
               " bytes announced, " + std::to_string(file.size() - at) + " left)";
      return nullptr;
    }
    source->packets_.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(at),
                                  file.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
  }
  if (source->packets_.empty()) {
    *error = "fixture holds no packet";
    return nullptr;
  }
  return source;
}

std::shared_ptr<const PacketSource> PacketSource::Synthetic(size_t size) {
  auto source = std::make_shared<PacketSource>();
  source->synthetic_ = true;
  source->syntheticSize_ = size < kMaxPacket ? size : kMaxPacket;
  return source;
}

std::vector<uint8_t> PacketSource::Payload(uint64_t n) const {
  if (!synthetic_) return packets_[static_cast<size_t>(n % packets_.size())];
  std::vector<uint8_t> out(syntheticSize_);
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = i < 4 ? static_cast<uint8_t>(n >> (8 * i)) : static_cast<uint8_t>(n + i);
  }
  return out;
}

std::vector<uint8_t> PacketSource::Serialize(const std::vector<std::vector<uint8_t>>& packets) {
  std::vector<uint8_t> out(kMagic, kMagic + 8);
  for (const auto& packet : packets) {
    wire::PutU32(out, static_cast<uint32_t>(packet.size()));
    out.insert(out.end(), packet.begin(), packet.end());
  }
  return out;
}

}  // namespace phonesim
