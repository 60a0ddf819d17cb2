#include "command_input.h"

#include <cstdio>
#include <thread>

namespace camera_viewer {

CommandInput::CommandInput() : queue_(std::make_shared<Queue>()) {
  std::thread([queue = queue_] {
    char buffer[1024];
    while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
      std::string line = buffer;
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      std::lock_guard<std::mutex> lock(queue->mutex);
      queue->lines.push_back(std::move(line));
    }
  }).detach();
}

std::vector<std::string> CommandInput::Poll() {
  std::lock_guard<std::mutex> lock(queue_->mutex);
  std::vector<std::string> lines;
  lines.swap(queue_->lines);
  return lines;
}

}  // namespace camera_viewer
