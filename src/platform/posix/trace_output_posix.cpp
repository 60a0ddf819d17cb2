#include "platform/trace_output.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kavex::platform {

AppendFile AppendFile::Open(const std::string& path) {
  AppendFile file;
  // Non-blocking: opening a FIFO without a reader fails at once instead of waiting for one, and a
  // full pipe refuses the line. Regular files ignore the flag.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd >= 0) file.handle_ = fd;
  return file;
}

bool AppendFile::Append(const char* data, size_t length) {
  if (!valid()) return false;
  const ssize_t written = ::write(static_cast<int>(handle_), data, length);
  return written >= 0 && static_cast<size_t>(written) == length;
}

void AppendFile::Close() {
  if (!valid()) return;
  ::close(static_cast<int>(handle_));
  handle_ = kInvalid;
}

void WriteToDebugger(const char* line, size_t length) {
  // Standard error belongs to the process: its blocking mode is left alone. Asking first keeps a
  // full pipe from stalling the engine; a line shorter than PIPE_BUF then goes in one piece.
  pollfd target{STDERR_FILENO, POLLOUT, 0};
  if (::poll(&target, 1, 0) != 1 || (target.revents & POLLOUT) == 0) return;
  const ssize_t ignored = ::write(STDERR_FILENO, line, length);
  (void)ignored;
}

}  // namespace kavex::platform
