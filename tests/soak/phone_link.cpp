#include "phone_link.h"

#include "wait_until.h"

namespace soak {

PhoneLink::PhoneLink(std::string key, std::string control)
    : key_(std::move(key)), control_(std::move(control)), sim_(std::make_unique<SimControl>(control_)) {}

std::string PhoneLink::Command(const std::string& command, int timeoutMs) {
  if (!connected()) return {};
  return sim_->Command(command, timeoutMs);
}

bool PhoneLink::Reconnect(int timeoutMs) {
  return testkit::WaitUntil(
      [this] {
        sim_ = std::make_unique<SimControl>(control_);
        return sim_->connected() && sim_->Command("ping", 2000) == "ok pong";
      },
      timeoutMs, 200);
}

bool PhoneLink::Streaming() {
  const std::string state = State();
  return SimControl::Field(state, "connected") == "1" && SimControl::Field(state, "streaming") == "1";
}

}  // namespace soak
