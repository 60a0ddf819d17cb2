#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "platform/socket_address.h"

namespace kavex::platform {

// What a client of a service on this machine needs besides StreamSocket: a unix-domain stream
// (only where the OS has one), host names resolved to endpoints, the socket layer started outside
// any engine instance, and socket errors told as the C runtime's errno values.

// Starts the socket layer for the process (Winsock; nothing elsewhere). It is never stopped: the
// callers may run before the engine's first instance and after its last. True when usable.
// Thread: any.
bool StartSocketLayer();

// The errno value (<cerrno> of this platform's C runtime) of a LastSocketError() code; EIO for a
// code without one.
// Thread: any.
int ErrnoOfSocketError(int socketError);

// The stream endpoints of host (a numeric IPv4 or IPv6 address, or a name such as "localhost"),
// each with port, in the resolver's order. Empty when it does not resolve.
// Thread: any (it may wait for the resolver).
std::vector<SocketAddress> ResolveStreamHost(const std::string& host, uint16_t port);

// Whether LocalStreamSocket can connect at all here.
// Thread: any.
bool LocalStreamSocketsAvailable();

// A stream socket to a unix-domain path, non-blocking once connected, closed when the object goes.
// Where the OS has none (Windows), Connect fails with EAFNOSUPPORT.
// Thread: as StreamSocket: the owner connects and closes; others may wait, send and receive.
class LocalStreamSocket {
 public:
  LocalStreamSocket() = default;
  ~LocalStreamSocket() { Close(); }
  LocalStreamSocket(const LocalStreamSocket&) = delete;
  LocalStreamSocket& operator=(const LocalStreamSocket&) = delete;

  // 0, or the errno value of the failure (ENAMETOOLONG for a path the address cannot hold,
  // EAGAIN while the listener's backlog is full: the connect does not wait for room).
  int Connect(const std::string& path);
  SocketWait WaitReadable(int timeoutMs);
  SocketWait WaitWritable(int timeoutMs);
  // As StreamSocket's, with the reason of a -1 in LastSocketError().
  long Send(const uint8_t* data, size_t length);
  long Receive(uint8_t* into, size_t capacity);
  void Shutdown();
  void Close();

 private:
  intptr_t handle_ = -1;
};

}  // namespace kavex::platform
