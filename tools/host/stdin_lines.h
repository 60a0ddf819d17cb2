#pragma once
// Standard input, read line by line on a thread of its own so that the main loop never blocks on
// the console or a pipe.
//
// The reader thread shares only the line queue (and its own copy of the wake event) with this
// object. A thread blocked in ReadFile cannot be woken, so it is detached and left to the end of the
// process; the shared queue lives as long as either side needs it.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace kavexhost {

class StdinLines {
 public:
  // wake: an event set after each line and at the end of input.
  explicit StdinLines(HANDLE wake);
  void Start();

  // The lines read since the last call. *ended: input is over and every line has been taken.
  std::vector<std::string> Take(bool* ended);

  // Longer lines are cut here; what follows up to the next newline is dropped.
  static constexpr size_t kMaxLine = 64 * 1024;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace kavexhost
