#pragma once
// The messages the engine sent to a phone, as the phone simulator records them: each record's
// "hex=" field holds one whole message (the 4-byte header, the total length in bits 0-23 and the
// type in bits 24-31, then little-endian fields at fixed offsets). Decoded here from the phone's
// side of the protocol, for the tests and benchmarks that judge what reached the phone.
// Thread: any; plain functions.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testkit::wire_records {

// Bytes of a hex text; empty when the text is not whole hex pairs.
std::vector<uint8_t> HexBytes(const std::string& hex);

// Little-endian fields at a byte offset of a message; 0 past its end.
uint32_t U32At(const std::vector<uint8_t>& message, size_t offset);
float F32At(const std::vector<uint8_t>& message, size_t offset);

// Type 9: one per video packet the decoder thread took.
struct Acknowledgement {
  float timestamp = 0;        // the packet's, echoed
  float decodeSeconds = 0;    // the picture before's
  float deliverySeconds = 0;  // the picture before's
};
std::optional<Acknowledgement> DecodeAcknowledgement(const std::string& hex);

// Type 11: the format the engine asks the phone for.
struct FormatRequest {
  uint32_t codec = 0;  // 1 H.264, 2 HEVC
  uint32_t width = 0;
  uint32_t height = 0;
};
std::optional<FormatRequest> DecodeFormatRequest(const std::string& hex);

// Type 16: a driver control change handed on to the phone.
struct PhoneControl {
  uint32_t code = 0;
  uint32_t value = 0;
};
std::optional<PhoneControl> DecodePhoneControl(const std::string& hex);

// Type 12: the text of an error report (up to its first NUL in 256 bytes).
std::optional<std::string> DecodeErrorReport(const std::string& hex);

}  // namespace testkit::wire_records
