#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The few POSIX socket calls the multiplexer stand-in makes. A native tool only: the Windows
// client reaches it over TCP from Wine, which needs no Windows build of the service.
namespace muxsim {

// Owns one descriptor; closed on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  bool Valid() const { return fd_ >= 0; }
  int Get() const { return fd_; }
  int Release();
  void Close();

 private:
  int fd_ = -1;
};

// "ADDR:PORT" or "[ADDR6]:PORT", numeric only.
bool SplitHostPort(const std::string& text, std::string* host, uint16_t* port);

// A listener on a numeric address (port 0 = any); bound reports what it got as "ADDR:PORT".
Fd ListenTcp(const std::string& host, uint16_t port, std::string* bound, std::string* error);
// A listener on a unix socket path; a stale socket file left there is replaced, a live one is not.
Fd ListenUnix(const std::string& path, std::string* error);
// True when something accepts connections on the unix socket path.
bool UnixSocketAnswers(const std::string& path);

// A TCP connection to host:port given up after timeoutMs (invalid on refusal or time-out).
Fd ConnectTcp(const std::string& host, uint16_t port, int timeoutMs);

// Readable (or closed) within timeoutMs.
bool WaitReadable(int fd, int timeoutMs);
// Exactly size bytes; false at the end of the stream, on error, or when the peer is silent for
// idleMs (idleMs < 0: no limit, for the wait between messages).
bool ReadExact(int fd, void* buffer, size_t size, int idleMs);
bool SendAll(int fd, const void* data, size_t size);
// Bounds a blocking send, so a peer that stops reading cannot hold a thread for ever.
void SetSendTimeout(int fd, int timeoutMs);

}  // namespace muxsim
