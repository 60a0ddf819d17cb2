#include "chaos.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "wire.h"

namespace phonesim {
namespace {

// Every type of the protocol, with the fixed length of its layout.
struct Known {
  uint8_t type;
  uint32_t length;
};
constexpr Known kKnown[] = {
    {wire::kAnnouncement, 280},
    {wire::kGoodbye, 4},
    {wire::kHello, 4},
    {wire::kHelloAnswer, 4},
    {wire::kStatus5, 4},
    {wire::kAudio, 8},
    {wire::kVideo, 8},
    {wire::kDecodeAck, 16},
    {wire::kCapabilities, 12},
    {wire::kFormatRequest, 24},
    {wire::kErrorReport, 268},
    {wire::kControl, 12},
    {wire::kCapabilitiesAnswer, 12},
    {wire::kFocus, 16},
    {wire::kStatus19, 20},
    {wire::kStatus20, 20},
    {wire::kStatus21, 20},
    {wire::kStatus22, 20},
    {wire::kPasscode, 16},
    {wire::kTextList, 12},
    {wire::kFocusDistance, 12},
};
constexpr uint32_t kKnownCount = sizeof kKnown / sizeof kKnown[0];
constexpr uint32_t kLargest = 65536;

}  // namespace

uint32_t ChaosSource::LayoutLength(uint8_t type) {
  for (const Known& known : kKnown)
    if (known.type == type) return known.length;
  return 0;
}

uint32_t ChaosSource::Word() {
  switch (Below(8)) {
    case 0:
    case 1:
      return Below(4);  // counts, codecs, flags, booleans
    case 2:
      return 0xffffffffu;
    case 3: {
      static const float kFloats[] = {1.0f, -1.0f, 30.0f, 1e30f, NAN, INFINITY};
      uint32_t bits;
      std::memcpy(&bits, &kFloats[Below(6)], sizeof bits);
      return bits;
    }
    case 4:
      return 0x7fffffffu + Below(3);  // around the sign bit
    default:
      return static_cast<uint32_t>(random_());
  }
}

std::vector<uint8_t> ChaosSource::Next() {
  ++produced_;
  uint8_t type;
  uint32_t layout;
  if (Below(16) == 0) {
    // A type the protocol does not use.
    do type = static_cast<uint8_t>(Below(256));
    while (LayoutLength(type) != 0);
    layout = wire::kHeaderSize;
  } else {
    const Known& known = kKnown[Below(kKnownCount)];
    type = known.type;
    layout = known.length;
  }
  uint32_t length;
  switch (Below(6)) {
    case 0:
      length = layout - 1;
      break;
    case 1:
      length = layout;
      break;
    case 2:
      length = layout + 1;
      break;
    case 3:
    case 4:
      length = wire::kHeaderSize + Below(3 * layout + 64);
      break;
    default:
      length = wire::kHeaderSize + Below(kLargest);
      break;
  }
  if (length < wire::kHeaderSize) length = wire::kHeaderSize;  // well framed, always
  std::vector<uint8_t> payload;
  payload.reserve(length - wire::kHeaderSize);
  while (payload.size() + 4 <= length - wire::kHeaderSize) wire::PutU32(payload, Word());
  while (payload.size() < length - wire::kHeaderSize) payload.push_back(static_cast<uint8_t>(random_()));
  return wire::Message(type, payload);
}

bool ParseChaos(const std::string& text, ChaosSettings* out) {
  const size_t colon = text.find(':');
  const std::string seedText = text.substr(0, colon);
  if (seedText.empty() || seedText[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long seed = std::strtoull(seedText.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return false;
  double rate = ChaosSettings::kDefaultRate;
  if (colon != std::string::npos) {
    const std::string rateText = text.substr(colon + 1);
    rate = std::strtod(rateText.c_str(), &end);
    if (rateText.empty() || *end != '\0' || !std::isfinite(rate) || rate <= 0 || rate > 1000) return false;
  }
  out->on = true;
  out->seed = seed;
  out->rate = rate;
  return true;
}

}  // namespace phonesim
