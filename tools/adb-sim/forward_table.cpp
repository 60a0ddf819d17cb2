#include "forward_table.h"

#include "tcp.h"

namespace adbsim {

bool ForwardTable::Add(uint16_t localPort, const std::string& serial, uint16_t devicePort, std::string* error) {
  for (auto& entry : forwards_) {
    if (entry.first == localPort) {
      entry.second->Retarget(serial, devicePort);
      return true;
    }
  }
  if (forwards_.size() >= kMaxForwards) {
    *error = "too many forwards";
    return false;
  }
  simsock::Socket listener = simsock::ListenTcp({"127.0.0.1", localPort}, error);
  if (!listener.Valid()) {
    *error = "cannot bind listener: " + *error;
    return false;
  }
  forwards_.emplace_back(localPort, std::make_unique<Forward>(std::move(listener), serial, devicePort, &connections_));
  return true;
}

std::vector<std::string> ForwardTable::List() const {
  std::vector<std::string> lines;
  for (const auto& entry : forwards_) {
    std::string serial;
    uint16_t devicePort = 0;
    entry.second->Target(&serial, &devicePort);
    lines.push_back(serial + " tcp:" + std::to_string(entry.first) + " tcp:" + std::to_string(devicePort));
  }
  return lines;
}

void ForwardTable::StopAll() {
  for (auto& entry : forwards_) entry.second->Stop();
  forwards_.clear();
}

}  // namespace adbsim
