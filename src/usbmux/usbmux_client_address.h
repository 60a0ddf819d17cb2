#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace kavex::usbmux {

// Where the multiplexing service listens: a unix-domain socket or a TCP endpoint.
struct ServiceAddress {
  enum class Kind { kLocal, kTcp };
  Kind kind = Kind::kLocal;
  std::string path;   // kLocal
  std::string host;   // kTcp: a numeric address or a name, without brackets
  uint16_t port = 0;  // kTcp
};

// The variable that moves the service, read at every connection, as programs of the service's
// usual library expect.
constexpr char kServiceAddressVariable[] = "USBMUXD_SOCKET_ADDRESS";

// Reads "UNIX:/path", "host:port", "[v6]:port" or "v6:port" (the port after the last colon,
// 1 to 65535 in decimal). Anything else is refused rather than taken for the default: a mistyped
// setting must not quietly reach another service.
std::optional<ServiceAddress> ParseServiceAddress(const std::string& text);

// The address for this connection: the variable's when set, else the system's usual place (the
// unix socket /var/run/usbmuxd, or TCP 127.0.0.1:27015 where the OS has no unix sockets).
// Nothing when the variable is set to something ParseServiceAddress refuses.
// Thread: any.
std::optional<ServiceAddress> CurrentServiceAddress();

}  // namespace kavex::usbmux
