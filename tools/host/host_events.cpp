#include "host_events.h"

namespace kavexhost {
namespace {

std::string Camera(const char* event, int instance) { return std::string(event) + " " + std::to_string(instance); }

// A token never holds a space or a line end, so a reader can split the line on spaces.
std::string Token(const char* text) {
  std::string token = text != nullptr ? text : "";
  for (char& c : token)
    if (c == ' ' || c == '\n' || c == '\r') c = '_';
  return token.empty() ? "-" : token;
}

}  // namespace

std::string OpenResultEvent(int instance, int result) {
  return Camera("open", instance) + " " + std::to_string(result);
}

std::string StateEvent(int instance, int value) { return Camera("state", instance) + " " + std::to_string(value); }

std::string PhoneEvent(int instance, int entry, const char* key, const char* displayName, int selected) {
  std::string name = displayName != nullptr ? displayName : "";
  for (char& c : name)
    if (c == '\n' || c == '\r') c = ' ';
  return Camera("phone", instance) + " " + std::to_string(entry) + " " + (selected != 0 ? "1" : "0") + " " +
         Token(key) + " " + name;
}

std::string FormatChoiceEvent(int instance, int answer) {
  return Camera("format-choice", instance) + " " + std::to_string(answer);
}

std::string VideoSizeEvent(int instance, int width, int height) {
  return Camera("video-size", instance) + " " + std::to_string(width) + " " + std::to_string(height);
}

HostEvents::~HostEvents() {
  if (file_ != nullptr) std::fclose(file_);
}

bool HostEvents::Open(const std::string& path, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot write the events file " + path;
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = file;
  return true;
}

void HostEvents::Write(const std::string& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ == nullptr) return;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f ", clock_.SecondsSinceStart());
  const std::string line = seconds + event + "\n";
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

}  // namespace kavexhost
