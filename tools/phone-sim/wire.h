#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace phonesim {

// The phone's end of the session protocol: every message starts with one little-endian 32-bit
// word, the total length (header included) in bits 0-23 and the message type in bits 24-31.
// All fields after it are little-endian at fixed offsets.
namespace wire {

constexpr uint32_t kHeaderSize = 4;
constexpr uint32_t kMaxMessage = 4000000;       // largest message either side accepts
constexpr uint32_t kMaxLengthField = 0xffffff;  // what 24 bits can say
constexpr uint32_t kAnnouncementSize = 280;
constexpr uint32_t kTextSize = 256;

// Message types.
constexpr uint8_t kAnnouncement = 1;
constexpr uint8_t kGoodbye = 2;
constexpr uint8_t kHello = 3;
constexpr uint8_t kHelloAnswer = 4;
constexpr uint8_t kStatus5 = 5;
constexpr uint8_t kAudio = 7;
constexpr uint8_t kVideo = 8;
constexpr uint8_t kDecodeAck = 9;
constexpr uint8_t kCapabilities = 10;
constexpr uint8_t kFormatRequest = 11;
constexpr uint8_t kErrorReport = 12;
constexpr uint8_t kControl = 16;
constexpr uint8_t kCapabilitiesAnswer = 17;
constexpr uint8_t kFocus = 18;
constexpr uint8_t kStatus19 = 19;
constexpr uint8_t kStatus20 = 20;
constexpr uint8_t kStatus21 = 21;
constexpr uint8_t kStatus22 = 22;
constexpr uint8_t kPasscode = 23;
constexpr uint8_t kTextList = 24;
constexpr uint8_t kFocusDistance = 25;

// Codec numbers of the format request.
constexpr uint32_t kCodecH264 = 1;
constexpr uint32_t kCodecHevc = 2;

using PhoneId = std::array<uint8_t, 16>;

struct VideoFormat {
  uint32_t width = 0;
  uint32_t height = 0;
  float fps = 0;
};

struct Identity {
  PhoneId id{};
  uint16_t kind = 0;
  std::string name;  // cut to 255 bytes on the wire
};

constexpr uint32_t HeaderWord(uint8_t type, uint32_t length) {
  return (static_cast<uint32_t>(type) << 24) | (length & kMaxLengthField);
}

void PutU16(std::vector<uint8_t>& out, uint16_t value);
void PutU32(std::vector<uint8_t>& out, uint32_t value);
void PutI32(std::vector<uint8_t>& out, int32_t value);
void PutF32(std::vector<uint8_t>& out, float value);
void PutU64(std::vector<uint8_t>& out, uint64_t value);
// A fixed 256-byte text field: the text cut to 255 bytes, NUL-filled.
void PutText(std::vector<uint8_t>& out, const std::string& text);

uint32_t GetU32(const uint8_t* at);
uint64_t GetU64(const uint8_t* at);
float GetF32(const uint8_t* at);

uint8_t TypeOf(uint32_t header);
uint32_t LengthOf(uint32_t header);

// Header plus payload with the right length. The payload must leave the total within 24 bits.
std::vector<uint8_t> Message(uint8_t type, const std::vector<uint8_t>& payload = {});
// Only a header word, whatever its length field says (the fault modes).
std::vector<uint8_t> BareHeader(uint8_t type, uint32_t lengthField);

// The 280-byte block a phone names itself with: type-1 message on the session port and the
// datagram of the multicast announcement alike.
std::vector<uint8_t> Announcement(const Identity& identity);
std::vector<uint8_t> Capabilities(const std::vector<VideoFormat>& formats, bool hevc);
std::vector<uint8_t> Challenge(uint64_t challenge);
std::vector<uint8_t> VideoPacket(float timestamp, const uint8_t* data, size_t size);
std::vector<uint8_t> AudioPacket(uint32_t sequence, const uint8_t* data, size_t size);

// The key a computer holding the passcode answers challenges with: 64-bit FNV-1a over the
// passcode's bytes, each byte sign-extended before it is mixed in.
uint64_t PasscodeKey(const std::string& passcode);

// "WxH@fps", e.g. 1280x720@30 or 1280x720@29.97.
bool ParseFormat(const std::string& text, VideoFormat* out);
std::string FormatText(const VideoFormat& format);
// 32 hex digits; dashes and a 0x prefix are allowed.
bool ParsePhoneId(const std::string& text, PhoneId* out);

std::string ToHex(const uint8_t* data, size_t size);
std::string ToHex(const std::vector<uint8_t>& data);
bool FromHex(const std::string& text, std::vector<uint8_t>* out);

}  // namespace wire
}  // namespace phonesim
