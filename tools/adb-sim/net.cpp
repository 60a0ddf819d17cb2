#include "net.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

#include <chrono>

namespace adbsim {

#ifdef _WIN32
SocketHandle Socket::InvalidHandle() { return static_cast<SocketHandle>(INVALID_SOCKET); }
void Socket::Close() {
  if (Valid()) ::closesocket(static_cast<SOCKET>(handle_));
  handle_ = InvalidHandle();
}
static std::string LastSocketError() { return "socket error " + std::to_string(::WSAGetLastError()); }
#else
SocketHandle Socket::InvalidHandle() { return -1; }
void Socket::Close() {
  if (Valid()) ::close(handle_);
  handle_ = InvalidHandle();
}
static std::string LastSocketError() { return std::strerror(errno); }
#endif

bool Socket::Valid() const { return handle_ != InvalidHandle(); }

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

bool StartNetwork() {
#ifdef _WIN32
  WSADATA data;
  return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
#else
  return true;
#endif
}

namespace {

Socket NewTcpSocket() {
#ifdef _WIN32
  return Socket(static_cast<SocketHandle>(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
#else
  return Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
#endif
}

void SetNonBlocking(const Socket& socket, bool on) {
#ifdef _WIN32
  u_long mode = on ? 1 : 0;
  ::ioctlsocket(static_cast<SOCKET>(socket.Get()), FIONBIO, &mode);
#else
  const int flags = ::fcntl(socket.Get(), F_GETFL);
  ::fcntl(socket.Get(), F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
#endif
}

bool ConnectInProgress() {
#ifdef _WIN32
  return ::WSAGetLastError() == WSAEWOULDBLOCK;
#else
  return errno == EINPROGRESS;
#endif
}

// select() on Winsock takes any handle value; on POSIX poll() has no FD_SETSIZE limit.
int WaitEvents(const Socket* sockets[], bool write, int count, int timeoutMs, bool ready[]) {
#ifdef _WIN32
  fd_set set;
  FD_ZERO(&set);
  for (int i = 0; i < count; ++i) FD_SET(static_cast<SOCKET>(sockets[i]->Get()), &set);
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int result = ::select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &timeout);
  for (int i = 0; i < count; ++i) ready[i] = result > 0 && FD_ISSET(static_cast<SOCKET>(sockets[i]->Get()), &set);
  return result;
#else
  pollfd entries[2];
  for (int i = 0; i < count; ++i) entries[i] = {sockets[i]->Get(), static_cast<short>(write ? POLLOUT : POLLIN), 0};
  int result;
  do {
    result = ::poll(entries, static_cast<nfds_t>(count), timeoutMs);
  } while (result < 0 && errno == EINTR);
  for (int i = 0; i < count; ++i) ready[i] = result > 0 && entries[i].revents != 0;
  return result;
#endif
}

}  // namespace

Socket ListenLoopback(uint16_t port, std::string* error) {
  Socket socket = NewTcpSocket();
  if (!socket.Valid()) {
    *error = LastSocketError();
    return Socket();
  }
#ifndef _WIN32
  // Winsock's SO_REUSEADDR would let a second server take a port that one already listens on.
  const int on = 1;
  ::setsockopt(socket.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(socket.Get(), 16) != 0) {
    *error = LastSocketError();
    return Socket();
  }
  return socket;
}

Socket ConnectTcp(const std::string& host, uint16_t port, int timeoutMs, std::string* error) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
    *error = "not an IPv4 address: " + host;
    return Socket();
  }
  Socket socket = NewTcpSocket();
  if (!socket.Valid()) {
    *error = LastSocketError();
    return Socket();
  }
  SetNonBlocking(socket, true);
  if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (!ConnectInProgress()) {
      *error = LastSocketError();
      return Socket();
    }
    const Socket* one[] = {&socket};
    bool ready[1];
    if (WaitEvents(one, true, 1, timeoutMs, ready) <= 0) {
      *error = "connection timed out";
      return Socket();
    }
    int soError = 0;
#ifdef _WIN32
    int length = sizeof soError;
#else
    socklen_t length = sizeof soError;
#endif
    ::getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length);
    if (soError != 0) {
#ifdef _WIN32
      *error = "socket error " + std::to_string(soError);
#else
      *error = std::strerror(soError);
#endif
      return Socket();
    }
  }
  SetNonBlocking(socket, false);
  return socket;
}

Socket Accept(const Socket& listener) {
#ifdef _WIN32
  Socket socket(static_cast<SocketHandle>(::accept(static_cast<SOCKET>(listener.Get()), nullptr, nullptr)));
#else
  Socket socket(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
#endif
  // A socket accepted from a non-blocking listener may inherit its mode elsewhere: make it plain.
  if (socket.Valid()) SetNonBlocking(socket, false);
  return socket;
}

bool WaitReadable(const Socket& socket, int timeoutMs) {
  const Socket* one[] = {&socket};
  bool ready[1];
  return WaitEvents(one, false, 1, timeoutMs, ready) > 0 && ready[0];
}

bool WaitEitherReadable(const Socket& a, const Socket& b, int timeoutMs, bool* aReady, bool* bReady) {
  const Socket* two[] = {&a, &b};
  bool ready[2];
  const int result = WaitEvents(two, false, 2, timeoutMs, ready);
  *aReady = ready[0];
  *bReady = ready[1];
  return result > 0;
}

int ReceiveSome(const Socket& socket, char* buffer, size_t size) {
  const int count = static_cast<int>(::recv(socket.Get(), buffer, static_cast<int>(size), 0));
  return count < 0 ? -1 : count;
}

bool SendAll(const Socket& socket, const char* data, size_t size) {
#ifdef _WIN32
  const int flags = 0;
#else
  const int flags = MSG_NOSIGNAL;
#endif
  while (size > 0) {
    const int sent = static_cast<int>(::send(socket.Get(), data, static_cast<int>(size), flags));
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

void ShutdownSend(const Socket& socket) {
#ifdef _WIN32
  ::shutdown(static_cast<SOCKET>(socket.Get()), SD_SEND);
#else
  ::shutdown(socket.Get(), SHUT_WR);
#endif
}

void SetSendTimeout(const Socket& socket, int timeoutMs) {
#ifdef _WIN32
  const DWORD timeout = static_cast<DWORD>(timeoutMs);
#else
  const timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
#endif
  ::setsockopt(socket.Get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
}

namespace {

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

bool ReadLine(const Socket& socket, int timeoutMs, size_t maxBytes, std::string* line) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  line->clear();
  char byte;
  while (line->size() < maxBytes) {
    if (!WaitReadable(socket, RemainingMs(deadline)) || ReceiveSome(socket, &byte, 1) != 1) return false;
    if (byte == '\n') {
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return true;
    }
    line->push_back(byte);
  }
  return false;
}

bool ReadToEnd(const Socket& socket, int timeoutMs, size_t maxBytes, std::string* text) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  text->clear();
  char buffer[4096];
  while (text->size() <= maxBytes) {
    if (!WaitReadable(socket, RemainingMs(deadline))) return false;
    const int count = ReceiveSome(socket, buffer, sizeof buffer);
    if (count == 0) return true;
    if (count < 0) return false;
    text->append(buffer, static_cast<size_t>(count));
  }
  return false;
}

}  // namespace adbsim
