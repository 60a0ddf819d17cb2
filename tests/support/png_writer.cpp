#include "png_writer.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <fstream>
#include <vector>

namespace png_writer {
namespace {

using Bytes = std::vector<uint8_t>;

// The largest amount of data one stored deflate block carries.
constexpr size_t kStoredBlockBytes = 65535;

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
  static const std::array<uint32_t, 256> kTable = [] {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[n] = c;
    }
    return table;
  }();
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = kTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

uint32_t Adler32(const Bytes& data) {
  constexpr uint32_t kModulus = 65521;
  uint32_t a = 1;
  uint32_t b = 0;
  for (uint8_t byte : data) {
    a = (a + byte) % kModulus;
    b = (b + a) % kModulus;
  }
  return (b << 16) | a;
}

void PutU32(Bytes& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void PutChunk(Bytes& out, const char (&type)[5], const Bytes& data) {
  PutU32(out, static_cast<uint32_t>(data.size()));
  const size_t typeAt = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  PutU32(out, Crc32(out.data() + typeAt, out.size() - typeAt));
}

// A zlib stream of stored deflate blocks.
Bytes StoredZlib(const Bytes& raw) {
  Bytes out = {0x78, 0x01};
  size_t at = 0;
  do {
    const size_t length = std::min(kStoredBlockBytes, raw.size() - at);
    const bool last = at + length == raw.size();
    out.push_back(last ? 1 : 0);  // BFINAL, BTYPE 00
    out.push_back(static_cast<uint8_t>(length));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(~length));
    out.push_back(static_cast<uint8_t>(~length >> 8));
    out.insert(out.end(), raw.begin() + static_cast<ptrdiff_t>(at), raw.begin() + static_cast<ptrdiff_t>(at + length));
    at += length;
  } while (at < raw.size());
  PutU32(out, Adler32(raw));
  return out;
}

}  // namespace

bool WriteRgb(const std::string& path, int width, int height, const uint8_t* rgb) {
  if (width <= 0 || height <= 0 || rgb == nullptr) return false;
  const size_t rowBytes = 3 * static_cast<size_t>(width);
  Bytes raw;
  raw.reserve((rowBytes + 1) * static_cast<size_t>(height));
  for (int row = 0; row < height; ++row) {
    raw.push_back(0);  // filter: none
    const uint8_t* line = rgb + rowBytes * static_cast<size_t>(row);
    raw.insert(raw.end(), line, line + rowBytes);
  }
  Bytes header;
  PutU32(header, static_cast<uint32_t>(width));
  PutU32(header, static_cast<uint32_t>(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB, deflate, no filter, no interlace

  Bytes file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  PutChunk(file, "IHDR", header);
  PutChunk(file, "IDAT", StoredZlib(raw));
  PutChunk(file, "IEND", {});
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  return static_cast<bool>(stream.flush());
}

}  // namespace png_writer
