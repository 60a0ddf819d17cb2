#pragma once
// Passcodes given ahead of time (--passcode-file), for runs without anyone at the console.
//
// Main thread only. Owns the entries read from the file.
//
// One entry per line: "NAME=PASSCODE" for the phone of that name (split at the last '='), or
// "PASSCODE" for any phone. Blank lines and lines starting with '#' are skipped; a trailing carriage
// return is dropped. Each entry is handed out once, so a refused passcode is not tried again and a
// later entry for the same phone gets its turn.
#include <optional>
#include <string>
#include <vector>

namespace kavexhost {

class PasscodeFile {
 public:
  // False with a reason when the file cannot be read.
  bool Load(const std::string& path, std::string* error);
  void LoadText(const std::string& text);

  // The first unused entry for this phone name, else the first unused entry for any phone.
  std::optional<std::string> Take(const std::string& phoneName);

  size_t Remaining() const;

 private:
  struct Entry {
    bool anyPhone = false;
    std::string phoneName;
    std::string passcode;
    bool used = false;
  };
  std::vector<Entry> entries_;
};

}  // namespace kavexhost
