#pragma once
// The phone's end of a TCP connection on the loopback interface, for transport tests: plain
// blocking sockets of the OS, made directly (not through the engine), so a fault in the engine's
// socket layer cannot hide itself on both ends.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/socket_address.h"

namespace loopback {

class Peer;

// A listening socket on 127.0.0.1 (or ::1) with a port the system picks.
class Listener {
 public:
  // receiveBufferBytes > 0 shrinks the receive buffer of accepted connections (set before listen,
  // so they inherit it), to make the engine's send buffer fill up quickly.
  explicit Listener(bool ipv6 = false, int receiveBufferBytes = 0);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  bool ok() const { return handle_ != kInvalid; }
  uint16_t port() const { return port_; }
  // The address a transport connects to.
  kavex::SocketAddress address() const;
  // Waits up to timeoutMs for one connection; null when none came.
  std::unique_ptr<Peer> Accept(int timeoutMs);

 private:
  static constexpr intptr_t kInvalid = -1;
  intptr_t handle_ = kInvalid;
  uint16_t port_ = 0;
  bool ipv6_ = false;
};

// A 127.0.0.1 port that is bound but not listening: connecting to it is refused at once, and no
// other program can start listening on it while the object lives.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  bool ok() const { return handle_ != -1; }
  kavex::SocketAddress address() const;

 private:
  intptr_t handle_ = -1;
  uint16_t port_ = 0;
};

// One accepted connection. Thread: one sender and one receiver may use it at the same time.
class Peer {
 public:
  explicit Peer(intptr_t handle);
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Sends everything; false when the connection broke.
  bool SendAll(const uint8_t* data, size_t length);
  bool SendAll(const std::vector<uint8_t>& bytes) { return SendAll(bytes.data(), bytes.size()); }
  // Reads exactly length bytes; false when the stream ended or timeoutMs passed without any byte.
  bool ReceiveExactly(uint8_t* into, size_t length, int timeoutMs);
  // True when the other end has closed the stream (end of stream or reset) within timeoutMs.
  // Bytes that arrive meanwhile are read and dropped.
  bool WaitForEnd(int timeoutMs);
  void Close();

 private:
  intptr_t handle_;
};

// A message: header (type, total length) and a payload of `length - 4` bytes, each byte
// (seed + index) & 0xff.
std::vector<uint8_t> Message(uint8_t type, uint32_t length, uint8_t seed = 0);
// The raw 4 header bytes, with any length field (including invalid ones).
std::vector<uint8_t> Header(uint8_t type, uint32_t lengthField);

}  // namespace loopback
