#include "protocol/control_messages.h"

#include "protocol/message_catalogue.h"
#include "protocol/wire_writer.h"

namespace kavex::control_messages {

namespace {

// The phone expects slider positions as fractions: the host's integer divided by 10000, in single
// precision as the phone computes it.
float ScaledValue(int32_t value) { return static_cast<float>(value) / 10000.0f; }

}  // namespace

std::vector<uint8_t> ButtonEvent(int32_t code, int32_t value) {
  WireWriter message;
  message.U32(message_catalogue::Header(message_catalogue::kControl)).I32(code);
  switch (code) {
    case 2:
    case 3:
    case 5:
    case 10:
      message.I32(0);
      break;
    case 4:
    case 6:
    case 9:
    case 14:
      message.I32(value);
      break;
    case 7:
      message.F32(value < 0 ? -1.0f : ScaledValue(value));
      break;
    case 8:
      message.F32(ScaledValue(value));
      break;
    case 11:
      message.I32(2);
      break;
    default:
      return {};
  }
  return message.Take();
}

std::vector<uint8_t> ControlChange(int32_t code, int32_t field) {
  return WireWriter().U32(message_catalogue::Header(message_catalogue::kControl)).I32(code).I32(field).Take();
}

std::vector<uint8_t> Focus(float x, float y, uint8_t flag) {
  return WireWriter().U32(message_catalogue::Header(message_catalogue::kFocus)).F32(x).F32(y).U32(flag).Take();
}

std::vector<uint8_t> FocusDistance(int32_t mode, float distance) {
  return WireWriter().U32(message_catalogue::Header(message_catalogue::kFocusDistance)).I32(mode).F32(distance).Take();
}

}  // namespace kavex::control_messages
