#include "passcode_file.h"

#include <fstream>
#include <sstream>

namespace kavexhost {

bool PasscodeFile::Load(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read the passcode file " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  LoadText(text.str());
  return true;
}

void PasscodeFile::LoadText(const std::string& text) {
  entries_.clear();
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    Entry entry;
    const size_t equals = line.rfind('=');
    if (equals == std::string::npos) {
      entry.anyPhone = true;
      entry.passcode = line;
    } else {
      entry.phoneName = line.substr(0, equals);
      entry.passcode = line.substr(equals + 1);
    }
    entries_.push_back(entry);
  }
}

std::optional<std::string> PasscodeFile::Take(const std::string& phoneName) {
  for (bool forAnyPhone : {false, true}) {
    for (Entry& entry : entries_) {
      if (entry.used || entry.anyPhone != forAnyPhone) continue;
      if (!forAnyPhone && entry.phoneName != phoneName) continue;
      entry.used = true;
      return entry.passcode;
    }
  }
  return std::nullopt;
}

size_t PasscodeFile::Remaining() const {
  size_t count = 0;
  for (const Entry& entry : entries_) count += entry.used ? 0 : 1;
  return count;
}

}  // namespace kavexhost
