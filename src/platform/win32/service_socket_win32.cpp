#include "platform/service_socket.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cerrno>

#include "platform/resolve_stream_host.h"
#include "platform/sockaddr_conversion.h"

namespace kavex::platform {

namespace {

bool g_socketLayerStarted = false;

BOOL CALLBACK StartSocketLayerOnce(PINIT_ONCE, PVOID, PVOID*) {
  WSADATA data;
  g_socketLayerStarted = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  return TRUE;
}

}  // namespace

bool StartSocketLayer() {
  // Counted by Winsock and never released: the process ends with the socket layer still started,
  // which is what a library without a teardown call of its own must accept. The system's one-time
  // initialisation rather than std::call_once, whose bookkeeping would stay with a host thread
  // after the engine is unloaded.
  static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
  InitOnceExecuteOnce(&once, &StartSocketLayerOnce, nullptr, nullptr);
  return g_socketLayerStarted;
}

int ErrnoOfSocketError(int socketError) {
  switch (socketError) {
    case WSAECONNRESET:
      return ECONNRESET;
    case WSAECONNREFUSED:
      return ECONNREFUSED;
    case WSAECONNABORTED:
      return ECONNABORTED;
    case WSAETIMEDOUT:
      return ETIMEDOUT;
    case WSAENOTCONN:
      return ENOTCONN;
    case WSAESHUTDOWN:
      return EPIPE;
    case WSAEWOULDBLOCK:
      return EWOULDBLOCK;
    case WSAEINPROGRESS:
      return EINPROGRESS;
    case WSAENETDOWN:
      return ENETDOWN;
    case WSAENETUNREACH:
      return ENETUNREACH;
    case WSAEHOSTUNREACH:
      return EHOSTUNREACH;
    case WSAEADDRNOTAVAIL:
      return EADDRNOTAVAIL;
    case WSAEAFNOSUPPORT:
      return EAFNOSUPPORT;
    case WSAENOTSOCK:
      return ENOTSOCK;
    case WSAEINTR:
      return EINTR;
    case WSAEINVAL:
      return EINVAL;
    case WSAEMFILE:
      return EMFILE;
    case WSAENOBUFS:
      return ENOBUFS;
    case WSAEMSGSIZE:
      return EMSGSIZE;
    case WSANOTINITIALISED:
      return ENETDOWN;
    default:
      return EIO;
  }
}

std::vector<SocketAddress> ResolveStreamHost(const std::string& host, uint16_t port) {
  if (!StartSocketLayer()) return {};  // getaddrinfo needs Winsock up
  return ResolveWithGetaddrinfo(host, port);
}

bool LocalStreamSocketsAvailable() { return false; }

// The service is reached over TCP here: no unix-domain sockets.
int LocalStreamSocket::Connect(const std::string&) { return EAFNOSUPPORT; }

SocketWait LocalStreamSocket::WaitReadable(int) {
  SocketWait result;
  result.status = SocketWait::Status::kError;
  result.error = WSAENOTSOCK;
  return result;
}

SocketWait LocalStreamSocket::WaitWritable(int timeoutMs) { return WaitReadable(timeoutMs); }

long LocalStreamSocket::Send(const uint8_t*, size_t) {
  WSASetLastError(WSAENOTSOCK);
  return -1;
}

long LocalStreamSocket::Receive(uint8_t*, size_t) {
  WSASetLastError(WSAENOTSOCK);
  return -1;
}

void LocalStreamSocket::Shutdown() {}

void LocalStreamSocket::Close() { handle_ = -1; }

}  // namespace kavex::platform
