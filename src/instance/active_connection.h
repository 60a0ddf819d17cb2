#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "media/ack_sink.h"
#include "platform/sync.h"
#include "protocol/media_messages.h"
#include "protocol/phone_connection.h"

namespace kavex {

// The connection on which the current phone completed format negotiation: everything the engine
// sends on its own initiative goes there. The worker thread replaces or clears it while host threads
// send on it, so a send holds its own reference: a connection torn down meanwhile stays alive until
// that send returns.
// It is also where the video pipeline's acknowledgements go.
// Thread: any.
class ActiveConnection final : public AckSink {
 public:
  void Set(std::shared_ptr<PhoneConnection> connection) {
    std::lock_guard<platform::Mutex> lock(mutex_);
    connection_ = std::move(connection);
  }
  void Clear() { Set(nullptr); }
  std::shared_ptr<PhoneConnection> Get() const {
    std::lock_guard<platform::Mutex> lock(mutex_);
    return connection_;
  }
  // Best effort: false when there is no connection or the send failed.
  bool Send(const std::vector<uint8_t>& message) const { return Send(message.data(), message.size()); }
  bool Send(const uint8_t* message, size_t length) const {
    if (length == 0) return false;
    const std::shared_ptr<PhoneConnection> connection = Get();
    return connection != nullptr && connection->Send(message, length);
  }

  // AckSink, on the decoder thread.
  void OnPacketTaken(float timestamp, float decodeSeconds, float deliverySeconds) override {
    const auto ack = media_messages::DecodeAck(timestamp, decodeSeconds, deliverySeconds);
    Send(ack.data(), ack.size());
  }

 private:
  mutable platform::Mutex mutex_;
  std::shared_ptr<PhoneConnection> connection_;
};

}  // namespace kavex
