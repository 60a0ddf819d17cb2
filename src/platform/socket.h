#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/socket_address.h"

namespace kavex::platform {

// The outcome of waiting for a socket to become readable or writable.
struct SocketWait {
  enum class Status { kReady, kTimeout, kError };
  Status status = Status::kTimeout;
  int error = 0;             // the socket layer's error code, with kError
  bool interrupted = false;  // with kError: the wait was cut short (EINTR / WSAEINTR), not broken
};

enum class ConnectStatus { kConnected, kInProgress, kFailed };

// One TCP socket (Winsock on Windows, BSD sockets elsewhere), closed when the object goes.
// Thread: the owner creates, connects and closes it; other threads may wait on, send on and receive
// from it at the same time, provided the owner does not close it meanwhile (a closed descriptor
// number can be reused at once by another socket).
class StreamSocket {
 public:
  StreamSocket() = default;
  ~StreamSocket() { Close(); }
  StreamSocket(StreamSocket&& other) noexcept : handle_(other.handle_) { other.handle_ = kInvalidHandle; }
  StreamSocket& operator=(StreamSocket&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.handle_;
      other.handle_ = kInvalidHandle;
    }
    return *this;
  }
  StreamSocket(const StreamSocket&) = delete;
  StreamSocket& operator=(const StreamSocket&) = delete;

  // A stream socket of the family (protocol 0), not inherited by child processes. Invalid on
  // failure (an empty family included); LastSocketError() then tells why.
  static StreamSocket Create(SocketAddress::Family family);

  bool valid() const { return handle_ != kInvalidHandle; }
  bool SetNoDelay();
  bool SetNonBlocking();
  // On a non-blocking socket the normal answer is kInProgress; wait for writability, then read
  // PendingError.
  ConnectStatus Connect(const SocketAddress& peer);
  // kReady also when the socket is in error or hung up: the next call on it says what happened.
  SocketWait WaitReadable(int timeoutMs);
  SocketWait WaitWritable(int timeoutMs);
  // The socket's pending error (SO_ERROR). False when it cannot be read.
  bool PendingError(int* error);
  // Bytes sent, or -1 with the reason in LastSocketError(). A reset peer never raises a signal.
  long Send(const uint8_t* data, size_t length);
  // Bytes received, 0 when the peer has closed, or -1 with the reason in LastSocketError().
  long Receive(uint8_t* into, size_t capacity);
  // Ends both directions of the stream (the peer sees the end, a waiting reader wakes up) but keeps
  // the handle, so threads still using it are not left with a reused descriptor.
  void Shutdown();
  void Close();

 private:
  // SOCKET on Windows (INVALID_SOCKET is all ones), a descriptor elsewhere.
  static constexpr intptr_t kInvalidHandle = -1;
  explicit StreamSocket(intptr_t handle) : handle_(handle) {}
  intptr_t handle_ = kInvalidHandle;
};

// The calling thread's last socket error (WSAGetLastError / errno). Read it right after the call
// that failed.
int LastSocketError();
// True for the "try again later" answer of a non-blocking send or receive.
bool IsWouldBlock(int error);

}  // namespace kavex::platform
