#pragma once
// A connection to no phone for the targets that run the dispatcher: what the session would send
// back is dropped, and the phone has no identifier and no address.
#include <cstddef>
#include <cstdint>

#include "protocol/phone_connection.h"

namespace kavex {

class SilentConnection final : public PhoneConnection {
 public:
  bool Send(const uint8_t*, size_t) override { return true; }
  void Close() override {}
  const PhoneId& phoneId() const override { return id_; }
  bool overUsb() const override { return false; }
  const SocketAddress& peerAddress() const override { return peer_; }

 private:
  PhoneId id_;
  SocketAddress peer_;
};

}  // namespace kavex
