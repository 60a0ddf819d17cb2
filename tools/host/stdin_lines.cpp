#include "stdin_lines.h"

#include <mutex>
#include <thread>

namespace kavexhost {

struct StdinLines::Shared {
  std::mutex mutex;
  std::vector<std::string> lines;
  bool ended = false;
  HANDLE wake = nullptr;
  ~Shared() {
    if (wake != nullptr) CloseHandle(wake);
  }
  void Push(std::string line, bool end) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!line.empty() || !end) lines.push_back(std::move(line));
      ended = ended || end;
    }
    if (wake != nullptr) SetEvent(wake);
  }
};

StdinLines::StdinLines(HANDLE wake) : shared_(std::make_shared<Shared>()) {
  HANDLE copy = nullptr;
  if (DuplicateHandle(GetCurrentProcess(), wake, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    shared_->wake = copy;
  }
}

void StdinLines::Start() {
  std::shared_ptr<Shared> shared = shared_;
  std::thread([shared] {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::string line;
    char buffer[4096];
    for (;;) {
      DWORD got = 0;
      if (input == nullptr || input == INVALID_HANDLE_VALUE || !ReadFile(input, buffer, sizeof buffer, &got, nullptr) ||
          got == 0) {
        break;
      }
      for (DWORD i = 0; i < got; ++i) {
        const char c = buffer[i];
        if (c == '\n') {
          if (!line.empty() && line.back() == '\r') line.pop_back();
          shared->Push(std::move(line), false);
          line.clear();
        } else if (line.size() < kMaxLine) {
          line += c;
        }
      }
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    shared->Push(std::move(line), true);
  }).detach();
}

std::vector<std::string> StdinLines::Take(bool* ended) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  std::vector<std::string> lines;
  lines.swap(shared_->lines);
  *ended = shared_->ended;
  return lines;
}

}  // namespace kavexhost
