#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

// One phone-sim process started by a test, with its stdout on a pipe.
class SimProcess {
 public:
  // Starts `program args...` (prefixed with `ip netns exec NS` when a namespace is given) and
  // waits up to 5 s for its ready line. Throws on failure.
  SimProcess(const std::string& program, const std::vector<std::string>& args, const std::string& netns = "");
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // From the ready line: "HOST:PORT" texts ("-" when off).
  const std::string& SessionAddress() const { return session_; }
  const std::string& ControlAddress() const { return control_; }
  const std::string& ProbeAddress() const { return probe_; }
  // The whole ready line, for simulators that name other endpoints.
  const std::string& ReadyLine() const { return ready_; }

  void Signal(int signalNumber);
  // Waits for the exit; returns the exit code, 128+N for a signal, -1 on time-out.
  int Wait(int timeoutMs);
  // Everything it wrote to stdout after the ready line, up to now (or its exit).
  std::string ReadOutput(int timeoutMs);

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  bool exited_ = false;
  int status_ = 0;
  std::string session_;
  std::string control_;
  std::string probe_;
  std::string ready_;
  std::string pending_;
};

// Runs the program to its end (no ready line expected) and returns its exit code; its stderr
// goes to `errors`.
int RunToExit(const std::string& program, const std::vector<std::string>& args, int timeoutMs, std::string* errors);

// A loopback port nobody listens on right now, for a simulator to take.
uint16_t FreeLoopbackPort();

}  // namespace simtest
