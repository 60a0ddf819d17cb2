#pragma once
// A client of the phone simulator's control channel: one text command per line, one reply line per
// command (multi-line replies end with a "." line). Plain OS sockets, so the same client works in
// the native tests and in Windows tests under Wine.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class SimControl {
 public:
  // address: "a.b.c.d:port".
  explicit SimControl(const std::string& address);
  ~SimControl();
  SimControl(const SimControl&) = delete;
  SimControl& operator=(const SimControl&) = delete;

  bool connected() const { return handle_ != -1; }
  // Sends one command and returns its reply line ("" when the channel broke or timeoutMs passed).
  std::string Command(const std::string& command, int timeoutMs = 30000);
  // For commands whose reply is a list ending with ".".
  std::vector<std::string> ListCommand(const std::string& command, int timeoutMs = 30000);
  // The value of "key=" in a reply line such as state's ("" when absent).
  static std::string Field(const std::string& reply, const std::string& key);

 private:
  std::string ReadLine(int timeoutMs);

  long long handle_ = -1;
  std::string pending_;
};
