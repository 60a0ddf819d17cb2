#pragma once
// The host's output: one timestamped line per event, whole lines only, flushed at once so that a
// reader of a pipe or file sees each callback when it happens.
//
// Any thread: engine threads print their callbacks here while the main thread prints commands.
// Owns nothing but its lock; the stream belongs to the caller.
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace kavexhost {

// "[  1.234]": seconds, three decimals, at least seven characters wide.
std::string TimestampPrefix(double seconds);

class HostLog {
 public:
  HostLog(std::FILE* out, bool quiet);

  // Callbacks, prompts and errors: always printed.
  void Event(const std::string& text);
  // The host's own remarks (loading, commands, shutdown): left out with --quiet.
  void Info(const std::string& text);

  double SecondsSinceStart() const;

 private:
  void Write(const std::string& text);

  std::mutex mutex_;
  std::FILE* out_;
  const bool quiet_;
  const std::chrono::steady_clock::time_point start_;
};

}  // namespace kavexhost
