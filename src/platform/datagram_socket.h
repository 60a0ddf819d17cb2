#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/socket_address.h"

namespace kavex::platform {

// One UDP socket (Winsock on Windows, BSD sockets elsewhere), closed when the object goes. Only
// what listening for multicast needs.
// Thread: one thread at a time.
class DatagramSocket {
 public:
  DatagramSocket() = default;
  ~DatagramSocket() { Close(); }
  DatagramSocket(DatagramSocket&& other) noexcept : handle_(other.handle_) { other.handle_ = kInvalidHandle; }
  DatagramSocket& operator=(DatagramSocket&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.handle_;
      other.handle_ = kInvalidHandle;
    }
    return *this;
  }
  DatagramSocket(const DatagramSocket&) = delete;
  DatagramSocket& operator=(const DatagramSocket&) = delete;

  // A datagram socket of the family, not inherited by child processes. An IPv6 socket carries IPv6
  // only (never IPv4-mapped traffic), as on Windows by default. Invalid on failure.
  static DatagramSocket Create(SocketAddress::Family family);

  bool valid() const { return handle_ != kInvalidHandle; }
  // SO_RCVTIMEO and SO_SNDTIMEO.
  bool SetTimeouts(int milliseconds);
  bool SetReuseAddress();
  // local: the family's any address or a local one, with the port (0 = any).
  bool Bind(const SocketAddress& local);
  // IPv4: joins or leaves the group on the interface that owns interfaceAddress.
  bool JoinGroup(const SocketAddress& group, const SocketAddress& interfaceAddress);
  bool LeaveGroup(const SocketAddress& group, const SocketAddress& interfaceAddress);
  // IPv6: joins or leaves the group on the interface with this index.
  bool JoinGroup(const SocketAddress& group, uint32_t interfaceIndex);
  bool LeaveGroup(const SocketAddress& group, uint32_t interfaceIndex);
  // Waits up to the receive time-out for one datagram. Returns its length and where it came from
  // (IPv6 with its scope id), or -1 on time-out or error. A datagram longer than `capacity` is an
  // error on every platform (Winsock reports it; elsewhere it would be cut silently).
  long ReceiveFrom(uint8_t* into, size_t capacity, SocketAddress* source);
  void Close();

 private:
  // SOCKET on Windows (INVALID_SOCKET is all ones), a descriptor elsewhere.
  static constexpr intptr_t kInvalidHandle = -1;
  explicit DatagramSocket(intptr_t handle) : handle_(handle) {}
  intptr_t handle_ = kInvalidHandle;
};

}  // namespace kavex::platform
