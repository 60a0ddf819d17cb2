#pragma once
// A network phone listener that writes down every report, for the DNS service discovery tests.
#include <mutex>
#include <string>
#include <vector>

#include "discovery/phone_listeners.h"

struct FoundPhone {
  kavex::PhoneId id;
  uint16_t kind = 0;
  std::string name;
  kavex::SocketAddress peer;
  uint16_t port = 0;
};

class PhoneRecorder : public kavex::NetworkPhoneListener {
 public:
  void OnPhoneFound(const kavex::PhoneId& id, uint16_t kind, const std::string& name, const kavex::SocketAddress& peer,
                    uint16_t port) override {
    std::lock_guard<std::mutex> lock(mutex_);
    found_.push_back(FoundPhone{id, kind, name, peer, port});
  }
  std::vector<FoundPhone> Found() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return found_;
  }
  size_t Count() const { return Found().size(); }

 private:
  mutable std::mutex mutex_;
  std::vector<FoundPhone> found_;
};

// The identifier that the 32 hexadecimal digits spell.
inline kavex::PhoneId IdFromHex(const char* digits) {
  kavex::PhoneId id;
  for (size_t i = 0; i < id.bytes.size(); ++i) {
    const char pair[3] = {digits[2 * i], digits[2 * i + 1], 0};
    id.bytes[i] = static_cast<uint8_t>(std::stoul(pair, nullptr, 16));
  }
  return id;
}
