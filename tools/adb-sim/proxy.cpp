#include "proxy.h"

#include "socket_io.h"

namespace adbsim {

namespace {

using simsock::SocketHandle;

constexpr int kPollMs = 200;
// A side that stops reading holds a send at most this long; then the connection is dropped.
constexpr int kSendTimeoutMs = 10000;

// One direction: false when the connection is to end (an error, or an end already passed on).
bool Pump(SocketHandle from, SocketHandle to, bool* open) {
  char buffer[16384];
  const int count = simsock::ReceiveSome(from, buffer, sizeof buffer);
  if (count < 0) return false;
  if (count == 0) {
    *open = false;
    simsock::ShutdownSend(to);
    return true;
  }
  return simsock::SendAll(to, buffer, static_cast<size_t>(count));
}

}  // namespace

void ProxyBothWays(SocketHandle local, SocketHandle device, const std::atomic<bool>& stop) {
  simsock::SetSendTimeout(local, kSendTimeoutMs);
  simsock::SetSendTimeout(device, kSendTimeoutMs);
  bool localOpen = true;
  bool deviceOpen = true;
  while ((localOpen || deviceOpen) && !stop.load()) {
    bool localReady = false;
    bool deviceReady = false;
    // A direction that has ended is not waited on: its socket stays readable at the end of stream.
    if (localOpen && deviceOpen) {
      simsock::WaitEitherReadable(local, device, kPollMs, &localReady, &deviceReady);
    } else if (localOpen) {
      localReady = simsock::WaitReadable(local, kPollMs);
    } else {
      deviceReady = simsock::WaitReadable(device, kPollMs);
    }
    if (localReady && !Pump(local, device, &localOpen)) return;
    if (deviceReady && !Pump(device, local, &deviceOpen)) return;
  }
}

}  // namespace adbsim
