#include "device_records.h"

#include <cstdio>

namespace kavex::simdrivers {

namespace {

std::string Hex(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(code));
  return text;
}

std::string CodeName(DeviceRole role, uint32_t code) {
  switch (code) {
    case kAttachCode: return "attach";
    case kDetachCode: return "detach";
    case kQueryCode: return "query";
    case kWriteCode: return "write";
    default: break;
  }
  if (role == DeviceRole::kCamera && code > kWriteCode && code <= FrameWriteCode(kDeviceIndexCount - 1) &&
      (code - kWriteCode) % 4 == 0) {
    return "write(" + Hex(code) + ")";
  }
  return Hex(code);
}

}  // namespace

std::string DescribeEvents(DeviceRole role, const DeviceRecord& record) {
  std::string text;
  for (const DeviceEvent& event : record.events) {
    if (!text.empty()) text += ' ';
    switch (event.kind) {
      case DeviceEvent::Kind::kOpened: text += "open"; break;
      case DeviceEvent::Kind::kClosed: text += "close"; break;
      case DeviceEvent::Kind::kControl: text += CodeName(role, event.code); break;
    }
    if (event.outcome == RequestOutcome::kFailed) text += "!failed";
    if (event.outcome == RequestOutcome::kRefused) text += "!refused";
    if (event.repeats > 1) text += "*" + std::to_string(event.repeats);
  }
  return text;
}

}  // namespace kavex::simdrivers
