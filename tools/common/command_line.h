#pragma once
// The tools' command lines: each option is named once with what it does, and every tool refuses an
// unknown option or a missing value in the same words. Options come one by one ("--name VALUE");
// the value is the next argument, whatever it looks like.
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace toolcommon {

class CommandLine {
 public:
  // Takes the value and returns "", or what is wrong with it.
  using Action = std::function<std::string(const std::string& value)>;

  // -h and --help: sets *asked and ends the reading there, so what follows cannot fail the call.
  void Help(bool* asked);
  void Flag(const std::string& name, std::function<void()> action);
  void Value(const std::string& name, Action action);

  // args: the arguments after the program name. Returns "" or the first problem: "unknown option
  // NAME", "NAME needs a value", or what an action said.
  std::string Parse(const std::vector<std::string>& args) const;

 private:
  struct Option {
    bool takesValue;
    Action action;
  };
  std::map<std::string, Option> options_;
  bool* help_ = nullptr;
};

// The whole text as an integer from low to high, in base 10 (base 0 also takes C's 0x and 0
// prefixes). *value is left alone on failure.
bool ReadInteger(const std::string& text, long long low, long long high, long long* value, int base = 10);

template <typename Integer>
bool ReadInteger(const std::string& text, long long low, long long high, Integer* value, int base = 10) {
  long long read = 0;
  if (!ReadInteger(text, low, high, &read, base)) return false;
  *value = static_cast<Integer>(read);
  return true;
}

// The whole text as a finite number from low to high. *value is left alone on failure.
bool ReadNumber(const std::string& text, double low, double high, double* value);

}  // namespace toolcommon
