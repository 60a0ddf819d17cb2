#include "log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace phonesim {
namespace {
std::atomic<bool> quietMode{false};
std::mutex logMutex;

void Write(const std::string& line) {
  std::lock_guard<std::mutex> lock(logMutex);
  std::fprintf(stderr, "phone-sim: %s\n", line.c_str());
  std::fflush(stderr);
}
}  // namespace

void SetQuiet(bool quiet) { quietMode = quiet; }
void LogInfo(const std::string& line) {
  if (!quietMode) Write(line);
}
void LogError(const std::string& line) { Write(line); }

}  // namespace phonesim
