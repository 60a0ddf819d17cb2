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
  // Under Windows: the system refused to limit what the program inherits, so it was started the
  // old way, with every inheritable handle of the process (the caller may say so).
  bool inheritedEverything = false;
  std::string output;  // what it wrote to its standard output and error
};

// Runs a helper program, with `arguments` (separated by single spaces, none of them quoted), no
// standard input, no console window, its standard output and error into one pipe (under Windows
// the only handle of the process it inherits).
// The program: under Windows "name.exe", looked for in the folder of the process's program first,
// then the system folders, then the folders of the PATH, and never in the current folder (where
// anyone who can write there could plant one); natively `name` on the PATH, or the file itself when
// it holds a slash.
// waitForOutput: wait up to 6 s for its first output, then read until it ends (the pipe empty and
// the program gone), at most `kMaxOutputBytes` and never longer than 10 s, or until `running` is
// cleared; otherwise read nothing. Either way, then wait up to 5 s for the program to end (not at
// all once `running`, set when the command started, is cleared: a stopping thread does not wait
// for a hung bridge); one that has not is ended (the process started here, not what it started in
// turn, such as a server) and given up to 1 s more to be gone.
// Thread: any; blocks the caller for as long as the waits above.
ProgramRun RunProgram(const std::string& name, const std::string& arguments, bool waitForOutput,
                      const std::atomic<bool>& running);

constexpr size_t kMaxOutputBytes = 1 << 20;

}  // namespace kavex::platform
