#include "loopback_peer.h"

#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "protocol/wire_header.h"

namespace loopback {

namespace {

#if defined(_WIN32)
using Native = SOCKET;
Native ToNative(intptr_t handle) { return static_cast<SOCKET>(handle); }
void CloseNative(intptr_t handle) { closesocket(ToNative(handle)); }
using AddressLength = int;
constexpr int kSendFlags = 0;
int PollOne(intptr_t handle, short events, int timeoutMs) {
  WSAPOLLFD entry{};
  entry.fd = ToNative(handle);
  entry.events = events;
  return WSAPoll(&entry, 1, timeoutMs);
}
constexpr short kReadable = POLLRDNORM;
#else
using Native = int;
Native ToNative(intptr_t handle) { return static_cast<int>(handle); }
void CloseNative(intptr_t handle) { close(ToNative(handle)); }
using AddressLength = socklen_t;
constexpr int kSendFlags = MSG_NOSIGNAL;  // the engine may have gone: fail, do not die
int PollOne(intptr_t handle, short events, int timeoutMs) {
  pollfd entry{ToNative(handle), events, 0};
  return poll(&entry, 1, timeoutMs);
}
constexpr short kReadable = POLLIN;
#endif

bool IsValid(Native s) {
#if defined(_WIN32)
  return s != INVALID_SOCKET;
#else
  return s >= 0;
#endif
}

// Binds a new TCP socket to the loopback address of the family, port chosen by the system.
intptr_t BindLoopback(bool ipv6, int receiveBufferBytes, uint16_t* port) {
  const Native s = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  if (!IsValid(s)) return -1;
  if (receiveBufferBytes > 0) {
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBufferBytes), sizeof receiveBufferBytes);
  }
  sockaddr_storage storage{};
  AddressLength length;
  if (ipv6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_loopback;
    length = sizeof *v6;
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof *v4;
  }
  if (bind(s, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    CloseNative(static_cast<intptr_t>(s));
    return -1;
  }
  *port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  return static_cast<intptr_t>(s);
}

kavex::SocketAddress LoopbackAddress(bool ipv6, uint16_t port) {
  if (!ipv6) return kavex::SocketAddress::Ipv4(127, 0, 0, 1, port);
  uint8_t bytes[16] = {};
  bytes[15] = 1;
  return kavex::SocketAddress::Ipv6(bytes, port);
}

}  // namespace

Listener::Listener(bool ipv6, int receiveBufferBytes) : ipv6_(ipv6) {
  handle_ = BindLoopback(ipv6, receiveBufferBytes, &port_);
  if (handle_ != kInvalid && listen(ToNative(handle_), 4) != 0) {
    CloseNative(handle_);
    handle_ = kInvalid;
  }
}

Listener::~Listener() {
  if (handle_ != kInvalid) CloseNative(handle_);
}

kavex::SocketAddress Listener::address() const { return LoopbackAddress(ipv6_, port_); }

std::unique_ptr<Peer> Listener::Accept(int timeoutMs) {
  if (handle_ == kInvalid || PollOne(handle_, kReadable, timeoutMs) <= 0) return nullptr;
  const Native s = accept(ToNative(handle_), nullptr, nullptr);
  if (!IsValid(s)) return nullptr;
  // Small test messages go out as they are written, so a byte-at-a-time stream really is one.
  const int on = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return std::make_unique<Peer>(static_cast<intptr_t>(s));
}

RefusingPort::RefusingPort() { handle_ = BindLoopback(false, 0, &port_); }

RefusingPort::~RefusingPort() {
  if (handle_ != -1) CloseNative(handle_);
}

kavex::SocketAddress RefusingPort::address() const { return LoopbackAddress(false, port_); }

Peer::Peer(intptr_t handle) : handle_(handle) {}

Peer::~Peer() { Close(); }

bool Peer::SendAll(const uint8_t* data, size_t length) {
  while (length > 0) {
    const int chunk = length > (1u << 20) ? (1 << 20) : static_cast<int>(length);
    const auto n = send(ToNative(handle_), reinterpret_cast<const char*>(data), chunk, kSendFlags);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool Peer::ReceiveExactly(uint8_t* into, size_t length, int timeoutMs) {
  while (length > 0) {
    if (PollOne(handle_, kReadable, timeoutMs) <= 0) return false;
    const int chunk = length > (1u << 20) ? (1 << 20) : static_cast<int>(length);
    const auto n = recv(ToNative(handle_), reinterpret_cast<char*>(into), chunk, 0);
    if (n <= 0) return false;
    into += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool Peer::WaitForEnd(int timeoutMs) {
  char scratch[4096];
  for (;;) {
    if (PollOne(handle_, kReadable, timeoutMs) <= 0) return false;
    if (recv(ToNative(handle_), scratch, sizeof scratch, 0) <= 0) return true;
  }
}

void Peer::Close() {
  if (handle_ == -1) return;
  CloseNative(handle_);
  handle_ = -1;
}

std::vector<uint8_t> Message(uint8_t type, uint32_t length, uint8_t seed) {
  std::vector<uint8_t> bytes = Header(type, length);
  bytes.reserve(length);
  for (uint32_t i = 0; i + kavex::WireHeader::kSize < length; ++i) bytes.push_back(static_cast<uint8_t>(seed + i));
  return bytes;
}

std::vector<uint8_t> Header(uint8_t type, uint32_t lengthField) {
  const uint32_t word = kavex::WireHeader::Encode(type, lengthField);
  return {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word >> 16),
          static_cast<uint8_t>(word >> 24)};
}

}  // namespace loopback
