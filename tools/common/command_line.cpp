#include "command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace toolcommon {

void CommandLine::Help(bool* asked) { help_ = asked; }

void CommandLine::Flag(const std::string& name, std::function<void()> action) {
  options_[name] = {false, [action = std::move(action)](const std::string&) {
                      action();
                      return std::string();
                    }};
}

void CommandLine::Value(const std::string& name, Action action) { options_[name] = {true, std::move(action)}; }

std::string CommandLine::Parse(const std::vector<std::string>& args) const {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (help_ != nullptr && (name == "-h" || name == "--help")) {
      *help_ = true;
      return "";
    }
    const auto option = options_.find(name);
    if (option == options_.end()) return "unknown option " + name;
    const bool takesValue = option->second.takesValue;
    if (takesValue && i + 1 >= args.size()) return name + " needs a value";
    const std::string problem = option->second.action(takesValue ? args[++i] : std::string());
    if (!problem.empty()) return problem;
  }
  return "";
}

bool ReadInteger(const std::string& text, long long low, long long high, long long* value, int base) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long read = std::strtoll(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || read < low || read > high) return false;
  *value = read;
  return true;
}

bool ReadNumber(const std::string& text, double low, double high, double* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double read = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(read) || read < low || read > high) return false;
  *value = read;
  return true;
}

}  // namespace toolcommon
