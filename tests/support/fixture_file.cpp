#include "fixture_file.h"

#include <cstdio>

namespace fixture_file {

std::string Path(const char* name) {
#ifdef _WIN32
  return std::string("Z:") + KAVEX_FIXTURES_DIR + "/" + name;  // Wine maps the Linux root to Z:
#else
  return std::string(KAVEX_FIXTURES_DIR) + "/" + name;
#endif
}

std::vector<std::vector<uint8_t>> ReadPackets(const char* name) { return ReadPacketsAt(Path(name)); }

std::vector<std::vector<uint8_t>> ReadPacketsAt(const std::string& path) {
  std::vector<std::vector<uint8_t>> packets;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return packets;
  char magic[8];
  if (std::fread(magic, 1, 8, file) == 8 && std::string(magic, 8) == "PSIMPKT1") {
    uint8_t lengthBytes[4];
    while (std::fread(lengthBytes, 1, 4, file) == 4) {
      const uint32_t length =
          lengthBytes[0] | lengthBytes[1] << 8 | lengthBytes[2] << 16 | static_cast<uint32_t>(lengthBytes[3]) << 24;
      std::vector<uint8_t> packet(length);
      if (std::fread(packet.data(), 1, length, file) != length) break;
      packets.push_back(std::move(packet));
    }
  }
  std::fclose(file);
  return packets;
}

}  // namespace fixture_file
