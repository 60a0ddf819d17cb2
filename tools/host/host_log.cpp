#include "host_log.h"

namespace kavexhost {

std::string TimestampPrefix(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "[%7.3f]", seconds);
  return text;
}

HostLog::HostLog(std::FILE* out, bool quiet) : out_(out), quiet_(quiet), start_(std::chrono::steady_clock::now()) {}

double HostLog::SecondsSinceStart() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void HostLog::Event(const std::string& text) { Write(text); }

void HostLog::Info(const std::string& text) {
  if (!quiet_) Write(text);
}

void HostLog::Write(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The time is taken under the lock so that the printed times never go backwards.
  const std::string line = TimestampPrefix(SecondsSinceStart()) + " " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
}

}  // namespace kavexhost
