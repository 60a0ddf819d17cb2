#include "announcement_sender.h"

#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

constexpr uint16_t kPort = 4698;

#if defined(_WIN32)
using Native = SOCKET;
bool Invalid(Native s) { return s == INVALID_SOCKET; }
int LastError() { return WSAGetLastError(); }
void CloseNative(long long handle) { closesocket(static_cast<SOCKET>(handle)); }
using OptionValue = DWORD;
#else
using Native = int;
bool Invalid(Native s) { return s < 0; }
int LastError() { return errno; }
void CloseNative(long long handle) { close(static_cast<int>(handle)); }
using OptionValue = int;
#endif

bool SetOption(long long handle, int level, int name, const void* value, int size) {
  return setsockopt(static_cast<Native>(handle), level, name, static_cast<const char*>(value), size) == 0;
}

}  // namespace

AnnouncementSender::~AnnouncementSender() {
  if (handle_ != -1) CloseNative(handle_);
}

bool AnnouncementSender::Fail(const std::string& what) {
  error_ = what + " failed: " + std::to_string(LastError());
  if (handle_ != -1) CloseNative(handle_);
  handle_ = -1;
  return false;
}

bool AnnouncementSender::OpenIpv4(const std::string& interfaceAddress) {
#if defined(_WIN32)
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
#endif
  in_addr local{};
  if (inet_pton(AF_INET, interfaceAddress.c_str(), &local) != 1) {
    error_ = "bad address " + interfaceAddress;
    return false;
  }
  const Native s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (Invalid(s)) return Fail("socket");
  handle_ = static_cast<long long>(s);
  const OptionValue ttl = 1;
  const OptionValue loop = 1;
  if (!SetOption(handle_, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local)) return Fail("IP_MULTICAST_IF");
  if (!SetOption(handle_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl)) return Fail("IP_MULTICAST_TTL");
  if (!SetOption(handle_, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop)) return Fail("IP_MULTICAST_LOOP");
  ipv6_ = false;
  return true;
}

bool AnnouncementSender::OpenIpv6(uint32_t interfaceIndex) {
#if defined(_WIN32)
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
#endif
  const Native s = socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
  if (Invalid(s)) return Fail("socket");
  handle_ = static_cast<long long>(s);
  const OptionValue index = static_cast<OptionValue>(interfaceIndex);
  const OptionValue hops = 1;
  const OptionValue loop = 1;
  if (!SetOption(handle_, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index)) return Fail("IPV6_MULTICAST_IF");
  if (!SetOption(handle_, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops)) return Fail("IPV6_MULTICAST_HOPS");
  if (!SetOption(handle_, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &loop, sizeof loop)) return Fail("IPV6_MULTICAST_LOOP");
  ipv6_ = true;
  interfaceIndex_ = interfaceIndex;
  return true;
}

bool AnnouncementSender::Send(const std::vector<uint8_t>& datagram) {
  return SendTo(ipv6_ ? "" : "239.255.188.58", kPort, datagram);
}

bool AnnouncementSender::SendTo(const std::string& address, uint16_t port, const std::vector<uint8_t>& datagram) {
  if (handle_ == -1) return false;
  sockaddr_storage to{};
  int length;
  if (ipv6_) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&to);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    inet_pton(AF_INET6, "ff02::2:d644", &v6->sin6_addr);
    v6->sin6_scope_id = interfaceIndex_;
    length = sizeof(sockaddr_in6);
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&to);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) != 1) {
      error_ = "bad address " + address;
      return false;
    }
    length = sizeof(sockaddr_in);
  }
  const long long sent = sendto(static_cast<Native>(handle_), reinterpret_cast<const char*>(datagram.data()),
                                static_cast<int>(datagram.size()), 0, reinterpret_cast<sockaddr*>(&to), length);
  if (sent != static_cast<long long>(datagram.size())) {
    error_ = "sendto failed: " + std::to_string(LastError());
    return false;
  }
  return true;
}

uint16_t AnnouncementSender::localPort() const {
  if (handle_ == -1) return 0;
  sockaddr_storage local{};
#if defined(_WIN32)
  int length = sizeof local;
#else
  socklen_t length = sizeof local;
#endif
  if (getsockname(static_cast<Native>(handle_), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  if (local.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
}
