#include "protocol/session_messages.h"

#include <algorithm>

#include "protocol/wire_writer.h"

namespace kavex::session_messages {

std::vector<uint8_t> HelloAnswer() {
  return WireWriter().U32(message_catalogue::Header(message_catalogue::kHelloAnswer)).Take();
}

std::vector<uint8_t> CapabilitiesAnswer(uint32_t valueA, uint32_t valueB) {
  return WireWriter()
      .U32(message_catalogue::Header(message_catalogue::kCapabilitiesAnswer))
      .U32(valueA)
      .U32(valueB)
      .Take();
}

std::vector<uint8_t> ErrorReport(uint32_t valueA, uint32_t valueB, const std::string& text) {
  std::vector<uint8_t> message =
      WireWriter().U32(message_catalogue::Header(message_catalogue::kErrorReport)).U32(valueA).U32(valueB).Take();
  message.resize(kErrorReportLength, 0);
  const size_t copied = std::min(text.size(), kErrorReportTextSize - 1);
  std::copy_n(text.begin(), copied, message.begin() + 12);
  return message;
}

std::vector<uint8_t> PasscodeAnswer(uint64_t key, uint64_t challenge) {
  const uint64_t answer = key ^ challenge;
  return WireWriter()
      .U32(message_catalogue::Header(message_catalogue::kPasscode))
      .U32(0)
      .U32(static_cast<uint32_t>(answer))
      .U32(static_cast<uint32_t>(answer >> 32))
      .Take();
}

}  // namespace kavex::session_messages
