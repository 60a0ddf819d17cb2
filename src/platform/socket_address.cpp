#include "platform/socket_address.h"

#include <cstdio>

namespace kavex {

std::string SocketAddress::ToString() const {
  char text[96];
  if (family == Family::kIpv4) {
    (void)std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", address[0], address[1], address[2], address[3], port);
    return text;
  }
  if (family == Family::kIpv6) {
    std::string result = "[";
    for (int i = 0; i < 16; i += 2) {
      (void)std::snprintf(text, sizeof text, "%s%x", i == 0 ? "" : ":", (address[i] << 8) | address[i + 1]);
      result += text;
    }
    (void)std::snprintf(text, sizeof text, "%%%u]:%u", scopeId, port);
    return result + text;
  }
  return "none";
}

}  // namespace kavex
