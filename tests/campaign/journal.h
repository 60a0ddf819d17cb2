#pragma once
// What the campaign did and saw, for the report of a violation: the last operations and events in
// order, and the first violation. A violation ends the process at once (an export that hangs would
// hang any orderly ending too): the report goes to stdout and the process exits with 1.
// Thread: any; one mutex.
#include <cstdarg>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace campaign {

class Journal {
 public:
  static Journal& Get();

  // One line of the record (printf-style); the last kKept are kept.
  void Note(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Prints the violation, the seed to replay, the details and the record, then ends the process.
  [[noreturn]] void Violation(const std::string& what, const std::string& details);

  void SetSeed(unsigned seed, int epoch) {
    std::lock_guard<std::mutex> lock(mutex_);
    seed_ = seed;
    epoch_ = epoch;
  }

  // Printed after the record, before the process ends (the combinations reached so far, which
  // under Windows would otherwise die with the process).
  void SetLastWords(std::function<void()> lastWords) {
    std::lock_guard<std::mutex> lock(mutex_);
    lastWords_ = std::move(lastWords);
  }

  static constexpr size_t kKept = 200;

 private:
  std::mutex mutex_;
  std::deque<std::string> lines_;
  unsigned seed_ = 0;
  int epoch_ = 0;
  bool ending_ = false;
  std::function<void()> lastWords_;
};

}  // namespace campaign
