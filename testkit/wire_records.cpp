#include "wire_records.h"

#include <cstring>

namespace testkit::wire_records {
namespace {

constexpr size_t kTextBytes = 256;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The message when it has the type and exactly the length the engine always sends for it.
std::optional<std::vector<uint8_t>> Message(const std::string& hex, uint8_t type, size_t length) {
  std::vector<uint8_t> bytes = HexBytes(hex);
  if (bytes.size() != length || bytes[3] != type || (U32At(bytes, 0) & 0xffffff) != length) return std::nullopt;
  return bytes;
}

}  // namespace

std::vector<uint8_t> HexBytes(const std::string& hex) {
  std::vector<uint8_t> bytes;
  if (hex.size() % 2 != 0) return bytes;
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]);
    const int low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return {};
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return bytes;
}

uint32_t U32At(const std::vector<uint8_t>& message, size_t offset) {
  if (offset > message.size() || message.size() - offset < 4) return 0;
  const uint8_t* at = message.data() + offset;
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

float F32At(const std::vector<uint8_t>& message, size_t offset) {
  const uint32_t bits = U32At(message, offset);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::optional<Acknowledgement> DecodeAcknowledgement(const std::string& hex) {
  const auto m = Message(hex, 9, 16);
  if (!m) return std::nullopt;
  return Acknowledgement{F32At(*m, 4), F32At(*m, 8), F32At(*m, 12)};
}

std::optional<FormatRequest> DecodeFormatRequest(const std::string& hex) {
  const auto m = Message(hex, 11, 24);
  if (!m) return std::nullopt;
  return FormatRequest{U32At(*m, 8), U32At(*m, 12), U32At(*m, 16)};
}

std::optional<PhoneControl> DecodePhoneControl(const std::string& hex) {
  const auto m = Message(hex, 16, 12);
  if (!m) return std::nullopt;
  return PhoneControl{U32At(*m, 4), U32At(*m, 8)};
}

std::optional<std::string> DecodeErrorReport(const std::string& hex) {
  const auto m = Message(hex, 12, 12 + kTextBytes);
  if (!m) return std::nullopt;
  const char* text = reinterpret_cast<const char*>(m->data() + 12);
  const void* end = std::memchr(text, 0, kTextBytes);
  return std::string(text, end != nullptr ? static_cast<const char*>(end) - text : kTextBytes);
}

}  // namespace testkit::wire_records
