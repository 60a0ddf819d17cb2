#include "usbmux/usbmux_client_stream.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/service_socket.h"
#include "platform/socket.h"

namespace kavex::usbmux {

namespace {

constexpr int kStopLookMs = 100;

int ErrnoOfWait(const platform::SocketWait& wait) {
  switch (wait.status) {
    case platform::SocketWait::Status::kReady: return 0;
    case platform::SocketWait::Status::kTimeout: return -ETIMEDOUT;
    default: return wait.interrupted ? -EINTR : -platform::ErrnoOfSocketError(wait.error);
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
  long Receive(uint8_t* into, size_t capacity) override {
    return ErrnoOfTransfer(socket_.Receive(into, capacity));
  }
  void Shutdown() override { socket_.Shutdown(); }

 private:
  Socket socket_;
};

int ConnectTcp(platform::StreamSocket& socket, const SocketAddress& peer, int timeoutMs) {
  socket = platform::StreamSocket::Create(peer.family);
  if (!socket.valid() || !socket.SetNonBlocking())
    return -platform::ErrnoOfSocketError(platform::LastSocketError());
  socket.SetNoDelay();
  switch (socket.Connect(peer)) {
    case platform::ConnectStatus::kConnected: return 0;
    case platform::ConnectStatus::kFailed: return -platform::ErrnoOfSocketError(platform::LastSocketError());
    case platform::ConnectStatus::kInProgress: break;
  }
  const platform::SocketWait wait = socket.WaitWritable(timeoutMs);
  if (wait.status == platform::SocketWait::Status::kTimeout) return -ECONNREFUSED;
  if (wait.status == platform::SocketWait::Status::kError) return ErrnoOfWait(wait);
  int pending = 0;
  if (!socket.PendingError(&pending)) return -platform::ErrnoOfSocketError(platform::LastSocketError());
  return pending == 0 ? 0 : -platform::ErrnoOfSocketError(pending);
}

int MillisecondsUntil(Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

}  // namespace

std::unique_ptr<ServiceStream> ConnectService(const ServiceAddress& address, int connectTimeoutMs, int* error) {
  if (address.kind == ServiceAddress::Kind::kLocal) {
    auto stream = std::make_unique<SocketStream<platform::LocalStreamSocket>>();
    const int result = stream->socket().Connect(address.path);
    if (result != 0) {
      *error = -result;
      return nullptr;
    }
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
    *error = ConnectTcp(stream->socket(), peer, connectTimeoutMs);
    if (*error == 0) return stream;
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
    const int waited = stream.WaitWritable(stallTimeoutMs);
    if (waited != 0 && waited != -EINTR) return waited;
  }
  return 0;
}

int ReadExact(ServiceStream& stream, uint8_t* into, size_t length, Deadline deadline,
              const std::atomic<bool>* stop) {
  size_t got = 0;
  while (got < length) {
    if (stop != nullptr && stop->load()) return -ECANCELED;
    const long moved = stream.Receive(into + got, length - got);
    if (moved > 0) {
      got += static_cast<size_t>(moved);
      continue;
    }
    if (moved == 0) return -ECONNRESET;
    if (moved != -EWOULDBLOCK && moved != -EAGAIN && moved != -EINTR) return static_cast<int>(moved);
    const int left = MillisecondsUntil(deadline);
    if (left == 0) return -ETIMEDOUT;
    const int waited = stream.WaitReadable(stop != nullptr ? std::min(left, kStopLookMs) : left);
    if (waited != 0 && waited != -ETIMEDOUT && waited != -EINTR) return waited;
  }
  return 0;
}

}  // namespace kavex::usbmux
