#pragma once
// One phone simulator's control channel, opened again after the phone went away and came back.
// Thread: one at a time (main, or the thread that runs a fault on this phone while main waits).
#include <memory>
#include <string>

#include "sim_control.h"

namespace soak {

class PhoneLink {
 public:
  PhoneLink(std::string key, std::string control);

  const std::string& key() const { return key_; }
  const std::string& control() const { return control_; }
  bool connected() const { return sim_ != nullptr && sim_->connected(); }

  // One command; "" when the channel is gone.
  std::string Command(const std::string& command, int timeoutMs = 10000);
  // Opens the channel again until the simulator answers, at most timeoutMs.
  bool Reconnect(int timeoutMs);
  // The simulator's `state` line ("" when it cannot be read).
  std::string State() { return Command("state", 5000); }
  // Connected to the engine and streaming, by the simulator's own word.
  bool Streaming();

 private:
  std::string key_;
  std::string control_;
  std::unique_ptr<SimControl> sim_;
};

}  // namespace soak
