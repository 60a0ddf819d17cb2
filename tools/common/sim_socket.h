#pragma once
#include <cstdint>
#include <string>

// The socket handle the simulators share, on Winsock (the bridge stand-in's adb.exe) and on POSIX.
namespace simsock {

#ifdef _WIN32
using SocketHandle = uintptr_t;
#else
using SocketHandle = int;
#endif

// Owns one socket; closed on destruction.
// Thread: whoever owns it; the handle may be used from other threads while the owner keeps it open.
class Socket {
 public:
  Socket() = default;
  explicit Socket(SocketHandle handle) : handle_(handle) {}
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept : handle_(other.Release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool Valid() const { return handle_ != InvalidHandle(); }
  SocketHandle Get() const { return handle_; }
  SocketHandle Release();
  void Close();

 private:
  static SocketHandle InvalidHandle();
  SocketHandle handle_ = InvalidHandle();
};

// Winsock start-up (nothing elsewhere); once per process before any socket.
bool StartNetwork();

// The last failed socket call's reason, as text.
std::string LastSocketError();

}  // namespace simsock
