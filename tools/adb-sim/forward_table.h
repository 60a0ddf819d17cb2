#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "forward.h"

namespace adbsim {

// The server's forwards by local port. Runs on: the server's control thread only.
class ForwardTable {
 public:
  ForwardTable() = default;
  ~ForwardTable() { StopAll(); }
  ForwardTable(const ForwardTable&) = delete;
  ForwardTable& operator=(const ForwardTable&) = delete;

  // A local port forwarded again is pointed at the new target, as the bridge's default (rebind)
  // does: the engine moves devices between local ports when its table grows.
  bool Add(uint16_t localPort, const std::string& serial, uint16_t devicePort, std::string* error);
  // "serial tcp:L tcp:R" per forward, in the order they were made.
  std::vector<std::string> List() const;
  void StopAll();

  static constexpr size_t kMaxForwards = 64;

 private:
  std::vector<std::pair<uint16_t, std::unique_ptr<Forward>>> forwards_;
  std::atomic<int> connections_{0};
};

}  // namespace adbsim
