#include "usbmux/usbmux_client_stream.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/service_socket.h"
#include "platform/socket.h"
#include "platform/system_thread.h"
#include "platform/wait_time.h"
#include "usbmux/usbmux_call_limits.h"

namespace kavex::usbmux {

namespace {

// How often a connect to a unix socket whose backlog is full is tried again.
constexpr int kLocalRetryMs = 20;

int ErrnoOfWait(const platform::SocketWait& wait) {
  switch (wait.status) {
    case platform::SocketWait::Status::kReady:
      return 0;
    case platform::SocketWait::Status::kTimeout:
      return -ETIMEDOUT;
    default:
      return wait.interrupted ? -EINTR : -platform::ErrnoOfSocketError(wait.error);
  }
}

long ErrnoOfTransfer(long moved) {
  if (moved >= 0) return moved;
  const int error = platform::LastSocketError();
  return platform::IsWouldBlock(error) ? -EWOULDBLOCK : -platform::ErrnoOfSocketError(error);
}

// Both socket kinds have the same calls; only their connecting differs. Built in place: the unix
// socket does not move.
template <typename Socket>
class SocketStream final : public ServiceStream {
 public:
  Socket& socket() { return socket_; }
  int WaitReadable(int timeoutMs) override { return ErrnoOfWait(socket_.WaitReadable(timeoutMs)); }
  int WaitWritable(int timeoutMs) override { return ErrnoOfWait(socket_.WaitWritable(timeoutMs)); }
  long Send(const uint8_t* data, size_t length) override { return ErrnoOfTransfer(socket_.Send(data, length)); }
  long Receive(uint8_t* into, size_t capacity) override { return ErrnoOfTransfer(socket_.Receive(into, capacity)); }
  void Shutdown() override { socket_.Shutdown(); }

 private:
  Socket socket_;
};

bool Stopping(const std::atomic<bool>* stop) {
  return (stop != nullptr && stop->load()) || CallLimits::StopRequested();
}

template <typename Wait>
int WaitInSlices(Wait wait, Deadline deadline, const std::atomic<bool>* stop) {
  for (;;) {
    if (Stopping(stop)) return -ECANCELED;
    const int left = platform::WaitMsUntil(deadline);
    if (left == 0) return -ETIMEDOUT;
    const int waited = wait(std::min(left, kStopLookMs));
    if (waited != -ETIMEDOUT && waited != -EINTR) return waited;
  }
}

int ConnectLocal(platform::LocalStreamSocket& socket, const std::string& path, Deadline deadline) {
  for (;;) {
    const int result = socket.Connect(path);
    if (result != EAGAIN) return -result;
    // The service's backlog is full: it takes no connection now, maybe later.
    if (Stopping(nullptr)) return -ECANCELED;
    const int left = platform::WaitMsUntil(deadline);
    if (left == 0) return -ECONNREFUSED;
    platform::SleepFor(std::chrono::milliseconds(std::min(left, kLocalRetryMs)));
  }
}

int ConnectTcp(platform::StreamSocket& socket, const SocketAddress& peer, Deadline deadline) {
  socket = platform::StreamSocket::Create(peer.family);
  if (!socket.valid() || !socket.SetNonBlocking()) return -platform::ErrnoOfSocketError(platform::LastSocketError());
  socket.SetNoDelay();
  switch (socket.Connect(peer)) {
    case platform::ConnectStatus::kConnected:
      return 0;
    case platform::ConnectStatus::kFailed:
      return -platform::ErrnoOfSocketError(platform::LastSocketError());
    case platform::ConnectStatus::kInProgress:
      break;
  }
  const int waited = WaitInSlices([&](int ms) { return ErrnoOfWait(socket.WaitWritable(ms)); }, deadline, nullptr);
  if (waited == -ETIMEDOUT) return -ECONNREFUSED;
  if (waited != 0) return waited;
  int pending = 0;
  if (!socket.PendingError(&pending)) return -platform::ErrnoOfSocketError(platform::LastSocketError());
  return pending == 0 ? 0 : -platform::ErrnoOfSocketError(pending);
}

}  // namespace

Deadline WaitDeadline(long long timeoutMs) {
  const int limit = CallLimits::CapWait(-1);
  if (limit >= 0 && (timeoutMs < 0 || timeoutMs > limit)) timeoutMs = limit;
  if (timeoutMs < 0) return Deadline::max();
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

int WaitReadableUntil(ServiceStream& stream, Deadline deadline, const std::atomic<bool>* stop) {
  return WaitInSlices([&](int ms) { return stream.WaitReadable(ms); }, deadline, stop);
}

int WaitWritableUntil(ServiceStream& stream, Deadline deadline, const std::atomic<bool>* stop) {
  return WaitInSlices([&](int ms) { return stream.WaitWritable(ms); }, deadline, stop);
}

std::unique_ptr<ServiceStream> ConnectService(const ServiceAddress& address, int connectTimeoutMs, int* error) {
  if (address.kind == ServiceAddress::Kind::kLocal) {
    auto stream = std::make_unique<SocketStream<platform::LocalStreamSocket>>();
    *error = ConnectLocal(stream->socket(), address.path, WaitDeadline(connectTimeoutMs));
    if (*error != 0) return nullptr;
    return stream;
  }
  if (!platform::StartSocketLayer()) {
    *error = -ENETDOWN;
    return nullptr;
  }
  const std::vector<SocketAddress> peers = platform::ResolveStreamHost(address.host, address.port);
  *error = -EHOSTUNREACH;
  for (const SocketAddress& peer : peers) {
    auto stream = std::make_unique<SocketStream<platform::StreamSocket>>();
    *error = ConnectTcp(stream->socket(), peer, WaitDeadline(connectTimeoutMs));
    if (*error == 0) return stream;
    if (*error == -ECANCELED) break;
  }
  return nullptr;
}

int SendAll(ServiceStream& stream, const uint8_t* data, size_t length, int stallTimeoutMs, size_t* sent) {
  *sent = 0;
  while (*sent < length) {
    const long moved = stream.Send(data + *sent, length - *sent);
    if (moved > 0) {
      *sent += static_cast<size_t>(moved);
      continue;
    }
    if (moved != -EWOULDBLOCK && moved != -EAGAIN && moved != 0) return static_cast<int>(moved);
    const int waited = WaitWritableUntil(stream, WaitDeadline(stallTimeoutMs));
    if (waited != 0) return waited;
  }
  return 0;
}

int ReadExact(ServiceStream& stream, uint8_t* into, size_t length, Deadline deadline, const std::atomic<bool>* stop) {
  size_t got = 0;
  while (got < length) {
    if (Stopping(stop)) return -ECANCELED;
    const long moved = stream.Receive(into + got, length - got);
    if (moved > 0) {
      got += static_cast<size_t>(moved);
      continue;
    }
    if (moved == 0) return -ECONNRESET;
    if (moved != -EWOULDBLOCK && moved != -EAGAIN && moved != -EINTR) return static_cast<int>(moved);
    const int waited = WaitReadableUntil(stream, deadline, stop);
    if (waited != 0) return waited;
  }
  return 0;
}

}  // namespace kavex::usbmux
