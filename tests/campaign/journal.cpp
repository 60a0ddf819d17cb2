#include "journal.h"

#include <cstdio>
#include <cstdlib>

#include "wait_until.h"

namespace campaign {

Journal& Journal::Get() {
  static Journal journal;
  return journal;
}

void Journal::Note(const char* format, ...) {
  static const testkit::Clock::time_point start = testkit::Clock::now();
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  char line[600];
  std::snprintf(line, sizeof line, "%9.3f %s", testkit::SecondsSince(start), text);
  std::lock_guard<std::mutex> lock(mutex_);
  if (lines_.size() == kKept) lines_.pop_front();
  lines_.emplace_back(line);
}

void Journal::Violation(const std::string& what, const std::string& details) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (ending_) {
    // Another thread reports already; it ends the process.
    lock.unlock();
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  ending_ = true;
  std::printf("\nVIOLATION: %s\n%s", what.c_str(), details.c_str());
  std::printf("replay: --seed %u (epoch %d)\nthe last %zu operations and events:\n", seed_, epoch_, lines_.size());
  for (const std::string& line : lines_) std::printf("  %s\n", line.c_str());
  if (lastWords_) lastWords_();
  std::printf("campaign: FAIL (seed %u)\n", seed_);
  std::fflush(stdout);
  std::_Exit(1);
}

}  // namespace campaign
