#pragma once
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// The other ends of phone-sim in the tests: an "engine" on the session port and a driver on the
// control channel. Byte helpers are written here again on purpose, so that the tests do not
// share the simulator's own layout code.
namespace simtest {

// What a helper throws when the simulator does not answer as it must (a time-out, a closed
// stream): the case fails where it stood.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex);
std::string ToHex(const Bytes& bytes);
uint32_t U32(const Bytes& bytes, size_t offset);
uint64_t U64(const Bytes& bytes, size_t offset);
float F32(const Bytes& bytes, size_t offset);
uint32_t FloatBits(float value);
void Put32(Bytes& out, uint32_t value);
void PutF32(Bytes& out, float value);
void Put64(Bytes& out, uint64_t value);
// Header (type << 24 | total length) and payload.
Bytes Msg(uint8_t type, const Bytes& payload = {});

class EngineSide {
 public:
  enum class End { kClosed, kReset, kStillOpen };

  explicit EngineSide(const std::string& hostPort);
  ~EngineSide();
  EngineSide(const EngineSide&) = delete;
  EngineSide& operator=(const EngineSide&) = delete;

  void Send(const Bytes& bytes);
  // Exactly n bytes; throws on end of stream or time-out.
  Bytes ReadExact(size_t n, int timeoutMs = 3000);
  // One whole message, header included.
  Bytes ReadMessage(int timeoutMs = 3000);
  // The next message of that type, skipping others (stream packets) for at most timeoutMs.
  Bytes ReadMessageOfType(uint8_t type, int timeoutMs = 3000);
  // True when nothing at all arrives for ms (and the stream stays open).
  bool QuietFor(int ms);
  // Reads and drops whatever comes until the peer closes or resets, or the time is up.
  End WaitEnd(int timeoutMs);
  // One recv of at most n bytes: count, 0 at end of stream, -1 on time-out, -2 on error.
  int RecvSome(uint8_t* buffer, size_t n, int timeoutMs);
  void Close();

 private:
  int fd_ = -1;
};

class ControlClient {
 public:
  explicit ControlClient(const std::string& hostPort);
  ~ControlClient();
  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;

  // A command with a one-line reply.
  std::string Command(const std::string& line, int timeoutMs = 10000);
  // A command with a multi-line reply: the lines before the "." terminator.
  std::vector<std::string> MultiCommand(const std::string& line, int timeoutMs = 10000);
  void SendLine(const std::string& line);
  void SendRaw(const std::string& text);
  // One reply line; throws on time-out or end of stream.
  std::string ReadLine(int timeoutMs = 10000);
  // True when the server closes the channel within the time.
  bool ClosedWithin(int timeoutMs);

 private:
  int fd_ = -1;
  std::string pending_;
};

// "key=value" from a reply line ("" when absent).
std::string FieldOf(const std::string& line, const std::string& key);

}  // namespace simtest
