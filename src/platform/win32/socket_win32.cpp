#include "platform/socket.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>
#include <cstring>

#include "platform/sockaddr_conversion.h"

namespace kavex::platform {

namespace {

SOCKET Native(intptr_t handle) { return static_cast<SOCKET>(handle); }

SocketWait Wait(intptr_t handle, SHORT events, int timeoutMs) {
  WSAPOLLFD entry{};
  entry.fd = Native(handle);
  entry.events = events;
  SocketWait result;
  const int n = WSAPoll(&entry, 1, timeoutMs);
  if (n == SOCKET_ERROR) {
    result.status = SocketWait::Status::kError;
    result.error = WSAGetLastError();
    result.interrupted = result.error == WSAEINTR;
  } else if (n == 0) {
    result.status = SocketWait::Status::kTimeout;
  } else if ((entry.revents & POLLNVAL) != 0) {
    result.status = SocketWait::Status::kError;
    result.error = WSAENOTSOCK;
  } else {
    result.status = SocketWait::Status::kReady;
  }
  return result;
}

}  // namespace

StreamSocket StreamSocket::Create(SocketAddress::Family family) {
  const int af = OsAddressFamily(family);
  if (af == AF_UNSPEC) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return StreamSocket();
  }
  // Not inheritable: the engine starts child processes (the Android bridge) that must not keep a
  // phone's connection open after the engine has closed it.
  const SOCKET s = WSASocketW(af, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return StreamSocket();
  return StreamSocket(static_cast<intptr_t>(s));
}

bool StreamSocket::SetNoDelay() {
  const BOOL on = TRUE;
  return setsockopt(Native(handle_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

bool StreamSocket::SetNonBlocking() {
  u_long on = 1;
  return ioctlsocket(Native(handle_), FIONBIO, &on) == 0;
}

ConnectStatus StreamSocket::Connect(const SocketAddress& peer) {
  sockaddr_storage storage{};
  const int length = ToSockaddr(peer, &storage);
  if (length == 0) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return ConnectStatus::kFailed;
  }
  if (connect(Native(handle_), reinterpret_cast<const sockaddr*>(&storage), length) == 0)
    return ConnectStatus::kConnected;
  // Winsock answers a non-blocking connect with "would block" where POSIX says EINPROGRESS.
  return WSAGetLastError() == WSAEWOULDBLOCK ? ConnectStatus::kInProgress : ConnectStatus::kFailed;
}

SocketWait StreamSocket::WaitReadable(int timeoutMs) { return Wait(handle_, POLLRDNORM, timeoutMs); }

SocketWait StreamSocket::WaitWritable(int timeoutMs) { return Wait(handle_, POLLWRNORM, timeoutMs); }

bool StreamSocket::PendingError(int* error) {
  int value = 0;
  int length = sizeof value;
  if (getsockopt(Native(handle_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &length) != 0) return false;
  *error = value;
  return true;
}

long StreamSocket::Send(const uint8_t* data, size_t length) {
  const int chunk = length > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
  const int n = send(Native(handle_), reinterpret_cast<const char*>(data), chunk, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

long StreamSocket::Receive(uint8_t* into, size_t capacity) {
  const int chunk = capacity > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(capacity);
  const int n = recv(Native(handle_), reinterpret_cast<char*>(into), chunk, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

void StreamSocket::Shutdown() {
  if (handle_ != kInvalidHandle) shutdown(Native(handle_), SD_BOTH);
}

void StreamSocket::Close() {
  if (handle_ == kInvalidHandle) return;
  closesocket(Native(handle_));
  handle_ = kInvalidHandle;
}

int LastSocketError() { return WSAGetLastError(); }

bool IsWouldBlock(int error) { return error == WSAEWOULDBLOCK; }

}  // namespace kavex::platform
