#pragma once
// What the soak does to a phone, drawn from the run's seeded generator so that a seed gives the
// same faults in the same order again. Each fault is a short list of control-channel commands of
// the phone simulator, with pauses between them.
// Thread: Draw on main; Apply on whichever thread plays that phone's fault.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "phone_link.h"

namespace soak {

enum class FaultKind {
  kGoodbye,      // the phone says goodbye and closes
  kDrop,         // silent, then an orderly close without a goodbye (it still announces itself)
  kVanish,       // the simulator exits (no announcements, no goodbye) and starts again later
  kReset,        // connection reset
  kStall,        // nothing from the phone for a while, then it goes on
  kTrickle,      // the next message one byte at a time
  kOversize,     // a header longer than any message may be
  kShortHeader,  // a header shorter than a header
  kFormats,      // other formats (and HEVC or not) offered from the next connection, then a reset
  kGarbage,      // a well-framed message of any type with random bytes
  kRawGarbage,   // the same with any type byte, sent as raw bytes
  kCount
};

const char* FaultName(FaultKind kind);

struct Fault {
  FaultKind kind = FaultKind::kReset;
  std::vector<std::string> commands;
  std::vector<int> pausesMs;  // before each command after the first
  int absentSeconds = 0;      // kVanish: how long the simulator stays away
  std::string Describe() const;
};

Fault DrawFault(std::mt19937& random);

// Runs the fault's commands; for kVanish also waits until the phone is back. Returns "" or what
// went wrong on the phone's side (a command the simulator refused, a phone that did not return).
std::string ApplyFault(const Fault& fault, PhoneLink& phone);

}  // namespace soak
