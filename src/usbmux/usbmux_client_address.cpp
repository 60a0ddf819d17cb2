#include "usbmux/usbmux_client_address.h"

#include "platform/environment.h"
#include "platform/service_socket.h"

namespace kavex::usbmux {

namespace {

constexpr char kLocalPrefix[] = "UNIX:";
constexpr char kDefaultLocalPath[] = "/var/run/usbmuxd";
constexpr char kDefaultHost[] = "127.0.0.1";
constexpr uint16_t kDefaultPort = 27015;

std::optional<uint16_t> ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

}  // namespace

std::optional<ServiceAddress> ParseServiceAddress(const std::string& text) {
  ServiceAddress address;
  const size_t prefixLength = sizeof kLocalPrefix - 1;
  if (text.compare(0, prefixLength, kLocalPrefix) == 0) {
    if (text.size() == prefixLength) return std::nullopt;
    address.kind = ServiceAddress::Kind::kLocal;
    address.path = text.substr(prefixLength);
    return address;
  }
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  const std::optional<uint16_t> port = ParsePort(text.substr(colon + 1));
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (!port || host.empty()) return std::nullopt;
  address.kind = ServiceAddress::Kind::kTcp;
  address.host = host;
  address.port = *port;
  return address;
}

std::optional<ServiceAddress> CurrentServiceAddress() {
  const std::string value = platform::EnvironmentValue(kServiceAddressVariable);
  if (!value.empty()) return ParseServiceAddress(value);
  ServiceAddress address;
  if (platform::LocalStreamSocketsAvailable()) {
    address.kind = ServiceAddress::Kind::kLocal;
    address.path = kDefaultLocalPath;
  } else {
    address.kind = ServiceAddress::Kind::kTcp;
    address.host = kDefaultHost;
    address.port = kDefaultPort;
  }
  return address;
}

}  // namespace kavex::usbmux
