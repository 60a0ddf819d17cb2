#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/message_catalogue.h"

namespace kavex {

// The engine's answers to a phone's opening messages and challenges. Each returns the whole
// message, header included.
namespace session_messages {

constexpr size_t kErrorReportLength = message_catalogue::LengthOf(message_catalogue::kErrorReport);
constexpr size_t kErrorReportTextSize = 256;

// Type 4, header only: the answer to the phone's hello.
std::vector<uint8_t> HelloAnswer();
// Type 17 with the two protocol values.
std::vector<uint8_t> CapabilitiesAnswer(uint32_t valueA, uint32_t valueB);
// Type 12: the two protocol values and the stored diagnostic, cut to 255 bytes so that the text is
// always NUL-terminated within its 256-byte field.
std::vector<uint8_t> ErrorReport(uint32_t valueA, uint32_t valueB, const std::string& text);
// Type 23: 0, then key XOR challenge.
std::vector<uint8_t> PasscodeAnswer(uint64_t key, uint64_t challenge);

}  // namespace session_messages
}  // namespace kavex
