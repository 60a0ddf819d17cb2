#include "wire.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace phonesim {
namespace wire {

void PutU16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void PutI32(std::vector<uint8_t>& out, int32_t value) { PutU32(out, static_cast<uint32_t>(value)); }

void PutF32(std::vector<uint8_t>& out, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  PutU32(out, bits);
}

void PutU64(std::vector<uint8_t>& out, uint64_t value) {
  for (int shift = 0; shift < 64; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void PutText(std::vector<uint8_t>& out, const std::string& text) {
  const size_t used = text.size() < kTextSize - 1 ? text.size() : kTextSize - 1;
  out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(used));
  out.insert(out.end(), kTextSize - used, 0);
}

uint32_t GetU32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) | (static_cast<uint32_t>(at[2]) << 16) |
         (static_cast<uint32_t>(at[3]) << 24);
}

uint64_t GetU64(const uint8_t* at) {
  return static_cast<uint64_t>(GetU32(at)) | (static_cast<uint64_t>(GetU32(at + 4)) << 32);
}

float GetF32(const uint8_t* at) {
  const uint32_t bits = GetU32(at);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

uint8_t TypeOf(uint32_t header) { return static_cast<uint8_t>(header >> 24); }
uint32_t LengthOf(uint32_t header) { return header & kMaxLengthField; }

std::vector<uint8_t> Message(uint8_t type, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> out;
  out.reserve(kHeaderSize + payload.size());
  PutU32(out, HeaderWord(type, static_cast<uint32_t>(kHeaderSize + payload.size())));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::vector<uint8_t> BareHeader(uint8_t type, uint32_t lengthField) {
  std::vector<uint8_t> out;
  PutU32(out, HeaderWord(type, lengthField));
  return out;
}

std::vector<uint8_t> Announcement(const Identity& identity) {
  std::vector<uint8_t> out;
  out.reserve(kAnnouncementSize);
  PutU32(out, HeaderWord(kAnnouncement, kAnnouncementSize));
  out.insert(out.end(), identity.id.begin(), identity.id.end());
  PutU16(out, identity.kind);
  PutU16(out, 0);  // reserved
  PutText(out, identity.name);
  return out;
}

std::vector<uint8_t> Capabilities(const std::vector<VideoFormat>& formats, bool hevc) {
  std::vector<uint8_t> payload;
  PutU16(payload, 0);
  payload.push_back(hevc ? 1 : 0);  // flags: bit 0 = can encode HEVC
  payload.push_back(0);
  PutU32(payload, static_cast<uint32_t>(formats.size()));
  for (const VideoFormat& format : formats) {
    PutU32(payload, format.width);
    PutU32(payload, format.height);
    PutF32(payload, format.fps);
  }
  return Message(kCapabilities, payload);
}

std::vector<uint8_t> Challenge(uint64_t challenge) {
  std::vector<uint8_t> payload;
  PutU32(payload, 0);
  PutU64(payload, challenge);
  return Message(kPasscode, payload);
}

std::vector<uint8_t> VideoPacket(float timestamp, const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  out.reserve(8 + size);
  PutU32(out, HeaderWord(kVideo, static_cast<uint32_t>(8 + size)));
  PutF32(out, timestamp);
  out.insert(out.end(), data, data + size);
  return out;
}

std::vector<uint8_t> AudioPacket(uint32_t sequence, const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  out.reserve(8 + size);
  PutU32(out, HeaderWord(kAudio, static_cast<uint32_t>(8 + size)));
  PutU32(out, sequence);
  out.insert(out.end(), data, data + size);
  return out;
}

uint64_t PasscodeKey(const std::string& passcode) {
  uint64_t key = 0xcbf29ce484222325ull;
  for (char c : passcode) {
    const int64_t widened = static_cast<signed char>(c);
    key ^= static_cast<uint64_t>(widened);
    key *= 0x100000001b3ull;
  }
  return key;
}

namespace {

bool ParseU32(const char* begin, const char* end, uint32_t* out) {
  if (begin == end) return false;
  uint64_t value = 0;
  for (const char* p = begin; p != end; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    if (value > 0xffffffffull) return false;
  }
  *out = static_cast<uint32_t>(value);
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ParseFormat(const std::string& text, VideoFormat* out) {
  const size_t x = text.find_first_of("xX");
  const size_t at = text.find('@');
  if (x == std::string::npos || at == std::string::npos || at < x) return false;
  VideoFormat format;
  const char* s = text.c_str();
  if (!ParseU32(s, s + x, &format.width) || !ParseU32(s + x + 1, s + at, &format.height)) return false;
  const std::string fpsText = text.substr(at + 1);
  if (fpsText.empty()) return false;
  char* end = nullptr;
  const float fps = std::strtof(fpsText.c_str(), &end);
  if (*end != '\0' || !std::isfinite(fps) || fps <= 0) return false;
  format.fps = fps;
  *out = format;
  return true;
}

std::string FormatText(const VideoFormat& format) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%ux%u@%g", format.width, format.height, static_cast<double>(format.fps));
  return buffer;
}

bool ParsePhoneId(const std::string& text, PhoneId* out) {
  std::string digits;
  size_t start = 0;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) start = 2;
  for (size_t i = start; i < text.size(); ++i) {
    if (text[i] == '-') continue;
    digits.push_back(text[i]);
  }
  std::vector<uint8_t> bytes;
  if (digits.size() != 32 || !FromHex(digits, &bytes)) return false;
  std::memcpy(out->data(), bytes.data(), out->size());
  return true;
}

std::string ToHex(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 15]);
  }
  return out;
}

std::string ToHex(const std::vector<uint8_t>& data) { return ToHex(data.data(), data.size()); }

bool FromHex(const std::string& text, std::vector<uint8_t>* out) {
  if (text.size() % 2 != 0) return false;
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  *out = std::move(bytes);
  return true;
}

}  // namespace wire
}  // namespace phonesim
