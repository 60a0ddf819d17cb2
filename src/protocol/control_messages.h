#pragma once
#include <cstdint>
#include <vector>

namespace kavex {

// Builders for the control messages the host's user actions turn into. Each returns the whole
// message, header included; an empty result means "send nothing".
namespace control_messages {

// Type 16: code and a value field whose meaning depends on the code. Unknown codes build nothing.
std::vector<uint8_t> ButtonEvent(int32_t code, int32_t value);
// Type 16 with the value field given as is (the camera driver's control changes: code 4 carries a
// value, code 2 a flag of 0 or 1).
std::vector<uint8_t> ControlChange(int32_t code, int32_t field);
// Type 18: x, y, and the flag byte widened to 32 bits.
std::vector<uint8_t> Focus(float x, float y, uint8_t flag);
// Type 25: mode and distance.
std::vector<uint8_t> FocusDistance(int32_t mode, float distance);

}  // namespace control_messages
}  // namespace kavex
