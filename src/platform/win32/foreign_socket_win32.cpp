#include "platform/foreign_socket.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>

#include "platform/sockaddr_conversion.h"

namespace kavex::platform {

bool WaitForeignSocketReadable(intptr_t socket, int timeoutMs) {
  const SOCKET s = static_cast<SOCKET>(socket);
  if (s == INVALID_SOCKET) return false;
  // A Winsock fd_set is a counted array of handles, so any handle value fits.
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval limit{};
  limit.tv_sec = timeoutMs / 1000;
  limit.tv_usec = (timeoutMs % 1000) * 1000;
  const int n = select(0, &readable, nullptr, nullptr, &limit);
  return n > 0 && FD_ISSET(s, &readable);
}

bool SocketAddressFromNative(const void* native, SocketAddress* out) { return FromSockaddr(native, out); }

}  // namespace kavex::platform
