#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The few socket calls the bridge stand-in makes, on Winsock and on POSIX sockets alike.
namespace adbsim {

#ifdef _WIN32
using SocketHandle = uintptr_t;
#else
using SocketHandle = int;
#endif

// Owns one socket; closed on destruction.
class Socket {
 public:
  Socket() = default;
  explicit Socket(SocketHandle handle) : handle_(handle) {}
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept : handle_(other.Release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool Valid() const;
  SocketHandle Get() const { return handle_; }
  SocketHandle Release();
  void Close();

 private:
  SocketHandle handle_ = InvalidHandle();
  static SocketHandle InvalidHandle();
};

// Winsock start-up (nothing elsewhere); once per process before any socket.
bool StartNetwork();

// A TCP listener on 127.0.0.1:port; a port in use fails (a restarted server rebinds at once).
Socket ListenLoopback(uint16_t port, std::string* error);
// A TCP connection to host:port (numeric IPv4), given up after timeoutMs.
Socket ConnectTcp(const std::string& host, uint16_t port, int timeoutMs, std::string* error);
// Accepts one pending connection (invalid when none could be taken).
Socket Accept(const Socket& listener);

// True when the socket is readable (or closed) within timeoutMs.
bool WaitReadable(const Socket& socket, int timeoutMs);
// Which of two sockets are readable within timeoutMs (false when neither, or on error).
bool WaitEitherReadable(const Socket& a, const Socket& b, int timeoutMs, bool* aReady, bool* bReady);

// One recv: bytes read, 0 at the end of the stream, -1 on error.
int ReceiveSome(const Socket& socket, char* buffer, size_t size);
bool SendAll(const Socket& socket, const char* data, size_t size);
// Stops sending (the peer reads the end of the stream) while still receiving.
void ShutdownSend(const Socket& socket);
// Bounds a blocking send, so a peer that stops reading cannot hold a thread for ever.
void SetSendTimeout(const Socket& socket, int timeoutMs);

// One line ("\n"-ended, the "\n" and a "\r" before it removed) within timeoutMs and maxBytes.
bool ReadLine(const Socket& socket, int timeoutMs, size_t maxBytes, std::string* line);
// Everything until the peer closes, within timeoutMs and maxBytes.
bool ReadToEnd(const Socket& socket, int timeoutMs, size_t maxBytes, std::string* text);

}  // namespace adbsim
