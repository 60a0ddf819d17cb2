#pragma once
#include <cstddef>
#include <cstdint>

#include "common/phone_id.h"
#include "platform/socket_address.h"

namespace kavex {

class PhoneConnection;

// How a connection reports to its owner. Called on the connection's receive thread.
class TransportListener {
 public:
  virtual ~TransportListener() = default;
  virtual void OnConnected(PhoneConnection& connection) = 0;
  virtual void OnFailed(PhoneConnection& connection) = 0;
  virtual void OnClosed(PhoneConnection& connection) = 0;
  // One whole message, header included.
  virtual void OnPacket(PhoneConnection& connection, const uint8_t* message, size_t length) = 0;
};

// One live connection to one phone (over TCP or through the USB multiplexing service).
// Send may be called from any thread; a connection serialises its own sends.
class PhoneConnection {
 public:
  virtual ~PhoneConnection() = default;
  // Sends one whole message. False when the connection can no longer send.
  virtual bool Send(const uint8_t* data, size_t length) = 0;
  virtual void Close() = 0;
  virtual const PhoneId& phoneId() const = 0;
  // True only for a connection through the multiplexing service to a phone on a cable.
  virtual bool overUsb() const = 0;
  // Where the connection goes (for an Android forward, the local 127.0.0.1 end).
  virtual const SocketAddress& peerAddress() const = 0;
};

}  // namespace kavex
