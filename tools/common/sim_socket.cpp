#include "sim_socket.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace simsock {

#ifdef _WIN32
SocketHandle Socket::InvalidHandle() { return static_cast<SocketHandle>(INVALID_SOCKET); }

void Socket::Close() {
  if (Valid()) ::closesocket(static_cast<SOCKET>(handle_));
  handle_ = InvalidHandle();
}

bool StartNetwork() {
  WSADATA data;
  return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

std::string LastSocketError() { return "socket error " + std::to_string(::WSAGetLastError()); }
#else
SocketHandle Socket::InvalidHandle() { return -1; }

void Socket::Close() {
  if (Valid()) ::close(handle_);
  handle_ = InvalidHandle();
}

bool StartNetwork() { return true; }

std::string LastSocketError() { return std::strerror(errno); }
#endif

SocketHandle Socket::Release() {
  const SocketHandle handle = handle_;
  handle_ = InvalidHandle();
  return handle;
}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.Release();
  }
  return *this;
}

}  // namespace simsock
