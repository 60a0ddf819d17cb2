#pragma once
#include <atomic>
#include <cstdint>
#include <string>

namespace kavex::platform {

// What one run of a helper program gave.
struct ProgramRun {
  enum class Failure { kNone, kPipe, kStart };
  Failure failure = Failure::kNone;
  uint32_t systemError = 0;  // with kStart: why the system could not start it
  bool notFound = false;     // with kStart: the system found no such program
  std::string output;        // what it wrote to its standard output and error
};

// Runs a helper program found the way the system finds a command without a path ("name.exe" and
// the program's folder first under Windows; the PATH natively), with `arguments` (separated by
// single spaces, none of them quoted), no standard input, no console window, its standard output
// and error into one pipe.
// waitForOutput: wait up to 6 s for its first output, then read until it ends (the pipe empty and
// the program gone), at most `kMaxOutputBytes` and never longer than 10 s, or until `running` is
// cleared; otherwise read nothing. Either way, then wait up to 5 s for the program to end.
// Thread: any; blocks the caller for as long as the waits above.
ProgramRun RunProgram(const std::string& name, const std::string& arguments, bool waitForOutput,
                      const std::atomic<bool>& running);

constexpr size_t kMaxOutputBytes = 1 << 20;

}  // namespace kavex::platform
