#pragma once
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace kavex {

// An IPv4 or IPv6 endpoint, independent of the OS's sockaddr layouts (the platform socket layer
// converts). Two addresses are equal when every field is: family, port, address, and for IPv6 the
// flow info and scope id (a link-local peer is only reachable through its scope).
struct SocketAddress {
  enum class Family : uint8_t { kNone = 0, kIpv4 = 4, kIpv6 = 6 };

  Family family = Family::kNone;
  uint16_t port = 0;                  // host byte order
  std::array<uint8_t, 16> address{};  // IPv4 uses the first 4 bytes
  uint32_t flowInfo = 0;              // IPv6 only
  uint32_t scopeId = 0;               // IPv6 only

  static SocketAddress Ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
    SocketAddress result;
    result.family = Family::kIpv4;
    result.port = port;
    result.address = {a, b, c, d};
    return result;
  }
  static SocketAddress Ipv6(const uint8_t bytes[16], uint16_t port, uint32_t scopeId = 0) {
    SocketAddress result;
    result.family = Family::kIpv6;
    result.port = port;
    std::memcpy(result.address.data(), bytes, 16);
    result.scopeId = scopeId;
    return result;
  }

  bool empty() const { return family == Family::kNone; }

  // "a.b.c.d:port" or "[v6%scope]:port", for logs and test messages.
  std::string ToString() const;

  friend bool operator==(const SocketAddress& x, const SocketAddress& y) {
    if (x.family != y.family) return false;
    if (x.family == Family::kNone) return true;
    if (x.port != y.port) return false;
    if (x.family == Family::kIpv4) return std::memcmp(x.address.data(), y.address.data(), 4) == 0;
    return x.address == y.address && x.flowInfo == y.flowInfo && x.scopeId == y.scopeId;
  }
  friend bool operator!=(const SocketAddress& x, const SocketAddress& y) { return !(x == y); }
};

}  // namespace kavex
