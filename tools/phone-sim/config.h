#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "chaos.h"
#include "fixture.h"
#include "wire.h"

namespace phonesim {

// What the simulated phone is and how it behaves on a connection. The simulator keeps one copy
// that the `set` commands change; each connection takes its own copy when it is accepted.
struct PhoneConfig {
  wire::Identity identity;
  std::vector<wire::VideoFormat> formats;
  bool hevc = false;

  bool passcodeSet = false;
  std::string passcode;
  bool fixedChallenge = false;
  uint64_t challenge = 0;

  bool manual = false;     // send nothing on connect; the control channel drives the opening
  bool autostream = true;  // start streaming on a format request

  static constexpr double kFollowRequest = -1;
  double videoRate = kFollowRequest;  // packets per second; 0 = none; kFollowRequest = the fps asked for
  double audioRate = 50;              // packets per second; 0 = none

  std::shared_ptr<const PacketSource> h264;  // null: synthetic
  std::shared_ptr<const PacketSource> hevcPackets;
  std::shared_ptr<const PacketSource> opus;
  size_t videoBytes = 2000;  // synthetic sizes
  size_t audioBytes = 80;

  ChaosSettings chaos;  // off unless --chaos or the chaos command asks for it
};

}  // namespace phonesim
