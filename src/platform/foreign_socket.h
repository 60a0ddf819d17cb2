#pragma once
#include <cstdint>

#include "platform/socket_address.h"

namespace kavex::platform {

// Sockets that belong to another library (the DNS-SD library's connections to its service): the
// engine never reads or closes them, it only waits for them and reads the socket addresses that
// the library hands it in the OS's own layout.
// Thread: any.

// socket: the library's socket (a SOCKET on Windows, a descriptor elsewhere). True when it became
// readable within timeoutMs; false on time-out, on an invalid socket and on any error.
bool WaitForeignSocketReadable(intptr_t socket, int timeoutMs);

// native: a sockaddr of the OS (AF_INET or AF_INET6), or null. Ports and flow info come out in
// host order, the scope id as it is. False (out untouched) for null and for other families.
bool SocketAddressFromNative(const void* native, SocketAddress* out);

}  // namespace kavex::platform
