#include "socket_io.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#endif

#include <algorithm>
#include <chrono>
#include <climits>

namespace simsock {

namespace {

// select() on Winsock takes any handle value; on POSIX poll() has no FD_SETSIZE limit.
int WaitEvents(const SocketHandle sockets[], bool write, int count, int timeoutMs, bool ready[]) {
#ifdef _WIN32
  fd_set set;
  FD_ZERO(&set);
  for (int i = 0; i < count; ++i) FD_SET(static_cast<SOCKET>(sockets[i]), &set);
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int result = ::select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &timeout);
  for (int i = 0; i < count; ++i) ready[i] = result > 0 && FD_ISSET(static_cast<SOCKET>(sockets[i]), &set);
  return result;
#else
  pollfd entries[2];
  for (int i = 0; i < count; ++i) entries[i] = {sockets[i], static_cast<short>(write ? POLLOUT : POLLIN), 0};
  int result;
  do {
    result = ::poll(entries, static_cast<nfds_t>(count), timeoutMs);
  } while (result < 0 && errno == EINTR);
  for (int i = 0; i < count; ++i) ready[i] = result > 0 && entries[i].revents != 0;
  return result;
#endif
}

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// At most this much per call, so a count always fits the int that Winsock takes and gives.
int Chunk(size_t size) { return static_cast<int>(std::min<size_t>(size, INT_MAX)); }

// A recv interrupted by a signal is tried again (nothing was read).
int Receive(SocketHandle socket, char* buffer, size_t size) {
  for (;;) {
    const int count = static_cast<int>(::recv(socket, buffer, Chunk(size), 0));
#ifndef _WIN32
    if (count < 0 && errno == EINTR) continue;
#endif
    return count < 0 ? -1 : count;
  }
}

}  // namespace

bool WaitReadable(SocketHandle socket, int timeoutMs) {
  bool ready;
  return WaitEvents(&socket, false, 1, timeoutMs, &ready) > 0 && ready;
}

bool WaitWritable(SocketHandle socket, int timeoutMs) {
  bool ready;
  return WaitEvents(&socket, true, 1, timeoutMs, &ready) > 0 && ready;
}

bool WaitEitherReadable(SocketHandle a, SocketHandle b, int timeoutMs, bool* aReady, bool* bReady) {
  const SocketHandle two[] = {a, b};
  bool ready[2];
  const int result = WaitEvents(two, false, 2, timeoutMs, ready);
  *aReady = ready[0];
  *bReady = ready[1];
  return result > 0;
}

int ReceiveSome(SocketHandle socket, char* buffer, size_t size) { return Receive(socket, buffer, size); }

bool ReadExact(SocketHandle socket, void* buffer, size_t size, int idleMs) {
  auto* out = static_cast<char*>(buffer);
  while (size > 0) {
    if (idleMs >= 0 && !WaitReadable(socket, idleMs)) return false;
    const int got = Receive(socket, out, size);
    if (got <= 0) return false;
    out += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

bool ReadLine(SocketHandle socket, int timeoutMs, size_t maxBytes, std::string* line) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  line->clear();
  char byte;
  while (line->size() < maxBytes) {
    if (!WaitReadable(socket, RemainingMs(deadline)) || Receive(socket, &byte, 1) != 1) return false;
    if (byte == '\n') {
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return true;
    }
    line->push_back(byte);
  }
  return false;
}

bool ReadToEnd(SocketHandle socket, int timeoutMs, size_t maxBytes, std::string* text) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  text->clear();
  char buffer[4096];
  while (text->size() <= maxBytes) {
    if (!WaitReadable(socket, RemainingMs(deadline))) return false;
    const int count = Receive(socket, buffer, sizeof buffer);
    if (count == 0) return true;
    if (count < 0) return false;
    text->append(buffer, static_cast<size_t>(count));
  }
  return false;
}

bool SendAll(SocketHandle socket, const void* data, size_t size) {
#ifdef _WIN32
  const int flags = 0;
#else
  const int flags = MSG_NOSIGNAL;
#endif
  const auto* in = static_cast<const char*>(data);
  while (size > 0) {
    const int sent = static_cast<int>(::send(socket, in, Chunk(size), flags));
#ifndef _WIN32
    if (sent < 0 && errno == EINTR) continue;
#endif
    if (sent <= 0) return false;
    in += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

void ShutdownSend(SocketHandle socket) {
#ifdef _WIN32
  ::shutdown(static_cast<SOCKET>(socket), SD_SEND);
#else
  ::shutdown(socket, SHUT_WR);
#endif
}

void SetSendTimeout(SocketHandle socket, int timeoutMs) {
#ifdef _WIN32
  const DWORD timeout = static_cast<DWORD>(timeoutMs);
#else
  const timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
#endif
  ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
}

}  // namespace simsock
