#pragma once
#include <cstdint>
#include <string>

#include "sim_socket.h"

// TCP set-up for the simulators: numeric endpoints, listeners, accepting and connecting.
namespace simsock {

// A numeric address and a port; the address keeps an IPv6 scope ("fe80::1%phone0").
struct Endpoint {
  std::string host;
  uint16_t port = 0;
};

// "198.18.0.2:4699", "[::1]:4699", "[fe80::1%phone0]:4699". Numeric addresses only.
bool ParseEndpoint(const std::string& text, Endpoint* out, std::string* error);
// "ADDR:PORT", "[ADDR6]:PORT"; "?" for an empty endpoint.
std::string EndpointText(const Endpoint& endpoint);
// Where a socket is bound (its port chosen) and whom it is connected to; empty when unknown.
Endpoint LocalEndpoint(SocketHandle socket);
Endpoint PeerEndpoint(SocketHandle socket);

// A listener (close-on-exec, IPv6 only on an IPv6 address, port 0 = any); a port a live listener
// holds fails. Under POSIX a restarted server rebinds its port at once.
Socket ListenTcp(const Endpoint& endpoint, std::string* error);
// Accepts one pending connection as a blocking socket (invalid when none could be taken).
Socket Accept(SocketHandle listener);
// A connection given up after timeoutMs; invalid on refusal or time-out, with the reason.
Socket ConnectTcp(const Endpoint& endpoint, int timeoutMs, std::string* error);

}  // namespace simsock
