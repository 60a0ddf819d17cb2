#include "faults.h"

#include <chrono>
#include <thread>

namespace soak {
namespace {

int Between(std::mt19937& random, int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }

std::string RandomHex(std::mt19937& random, size_t bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < bytes; ++i) {
    const int value = Between(random, 0, 255);
    hex += kDigits[value >> 4];
    hex += kDigits[value & 15];
  }
  return hex;
}

// Garbage must not look like a valid passcode challenge (16 bytes, type 23): the engine would
// rightly wait for the user's passcode and the phone would never stream again.
size_t GarbageLength(std::mt19937& random, int type) {
  size_t length = static_cast<size_t>(Between(random, 0, 64));
  if (type == 23 && length == 12) ++length;
  return length;
}

const char* const kFormatChoices[] = {"640x480@30", "1280x720@30", "1920x1080@30", "1280x720@60", "320x240@15"};

}  // namespace

const char* FaultName(FaultKind kind) {
  switch (kind) {
    case FaultKind::kGoodbye:
      return "goodbye";
    case FaultKind::kDrop:
      return "drop";
    case FaultKind::kVanish:
      return "vanish";
    case FaultKind::kReset:
      return "reset";
    case FaultKind::kStall:
      return "stall";
    case FaultKind::kTrickle:
      return "trickle";
    case FaultKind::kOversize:
      return "oversize";
    case FaultKind::kShortHeader:
      return "short-header";
    case FaultKind::kFormats:
      return "formats";
    case FaultKind::kGarbage:
      return "garbage";
    case FaultKind::kRawGarbage:
      return "raw-garbage";
    case FaultKind::kCount:
      break;
  }
  return "?";
}

std::string Fault::Describe() const {
  std::string text = FaultName(kind);
  for (size_t i = 0; i < commands.size(); ++i) {
    if (i > 0 && pausesMs[i - 1] > 0) text += " | sleep " + std::to_string(pausesMs[i - 1]);
    text += (i == 0 ? ": " : " | ") + (commands[i].size() > 60 ? commands[i].substr(0, 60) + "..." : commands[i]);
  }
  return text;
}

Fault DrawFault(std::mt19937& random) {
  Fault fault;
  fault.kind = static_cast<FaultKind>(Between(random, 0, static_cast<int>(FaultKind::kCount) - 1));
  auto then = [&fault](int pauseMs, std::string command) {
    fault.pausesMs.push_back(pauseMs);
    fault.commands.push_back(std::move(command));
  };
  switch (fault.kind) {
    case FaultKind::kGoodbye:
      fault.commands = {"goodbye close"};
      break;
    case FaultKind::kDrop:
      fault.commands = {"silence"};
      then(Between(random, 0, 2000), "disconnect");
      break;
    case FaultKind::kVanish:
      // The respawning runner reads the exit code as "back in code - 10 seconds".
      fault.absentSeconds = Between(random, 1, 8);
      fault.commands = {"shutdown " + std::to_string(10 + fault.absentSeconds)};
      break;
    case FaultKind::kReset:
      fault.commands = {"reset"};
      break;
    case FaultKind::kStall:
      fault.commands = {"silence"};
      then(Between(random, 500, 8000), "resume");
      break;
    case FaultKind::kTrickle:
      fault.commands = {"trickle " + std::to_string(Between(random, 1, 30))};
      break;
    case FaultKind::kOversize:
      fault.commands = {"oversize " + std::to_string(Between(random, 4000001, 16777215)) + " " +
                        std::to_string(Between(random, 0, 30))};
      break;
    case FaultKind::kShortHeader:
      fault.commands = {"short-header " + std::to_string(Between(random, 0, 3)) + " " +
                        std::to_string(Between(random, 0, 30))};
      break;
    case FaultKind::kFormats: {
      std::string formats;
      for (const char* format : kFormatChoices)
        if (Between(random, 0, 1) == 1) formats += (formats.empty() ? "" : ",") + std::string(format);
      if (formats.empty()) formats = kFormatChoices[Between(random, 0, 4)];
      fault.commands = {"set formats " + formats, "set hevc " + std::to_string(Between(random, 0, 1))};
      then(0, "reset");
      break;
    }
    case FaultKind::kGarbage: {
      const int type = Between(random, 0, 40);
      fault.commands = {"send " + std::to_string(type) + " " + RandomHex(random, GarbageLength(random, type))};
      if (fault.commands[0].back() == ' ') fault.commands[0].pop_back();
      break;
    }
    case FaultKind::kRawGarbage: {
      const int type = Between(random, 0, 255);
      const size_t length = GarbageLength(random, type);
      const uint32_t header = static_cast<uint32_t>(type) << 24 | static_cast<uint32_t>(length + 4);
      std::string hex;
      for (int shift = 0; shift < 32; shift += 8) {
        static const char kDigits[] = "0123456789abcdef";
        hex += kDigits[(header >> (shift + 4)) & 15];
        hex += kDigits[(header >> shift) & 15];
      }
      fault.commands = {"send-raw " + hex + RandomHex(random, length)};
      break;
    }
    case FaultKind::kCount:
      break;
  }
  fault.pausesMs.resize(fault.commands.size(), 0);
  return fault;
}

std::string ApplyFault(const Fault& fault, PhoneLink& phone) {
  std::string problems;
  for (size_t i = 0; i < fault.commands.size(); ++i) {
    if (i > 0 && fault.pausesMs[i - 1] > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(fault.pausesMs[i - 1]));
    const std::string reply = phone.Command(fault.commands[i]);
    if (fault.kind == FaultKind::kVanish) continue;  // the simulator may be gone before it answers
    // The engine may have dropped the connection already (after a stall, say): not the phone's fault.
    if (reply.rfind("ok", 0) != 0 && reply != "err not connected")
      problems += " '" + fault.commands[i].substr(0, 40) + "' answered '" + reply + "';";
  }
  if (fault.kind == FaultKind::kVanish) {
    // Wait until the old simulator has gone before looking for the new one.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (!phone.Reconnect((fault.absentSeconds + 20) * 1000)) problems += " the simulator did not come back;";
  }
  return problems;
}

}  // namespace soak
