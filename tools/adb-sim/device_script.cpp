#include "device_script.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace adbsim {

uint16_t ScriptDevice::PortAtHost(uint16_t devicePort) const {
  const auto mapped = ports.find(devicePort);
  return mapped == ports.end() ? devicePort : mapped->second;
}

const ScriptDevice* DeviceScript::Find(const std::string& serial) const {
  for (const auto& device : devices) {
    if (device.serial == serial) return &device;
  }
  return nullptr;
}

const char* DeviceScript::Eol() const {
  switch (lineEnd) {
    case LineEnd::kCrLf:
      return "\r\n";
    case LineEnd::kLf:
      return "\n";
    case LineEnd::kPlatform:
      break;
  }
#ifdef _WIN32
  return "\r\n";
#else
  return "\n";
#endif
}

namespace {

bool ParseNumber(const std::string& text, long low, long high, long* value) {
  errno = 0;
  char* end = nullptr;
  *value = std::strtol(text.c_str(), &end, 10);
  return !text.empty() && errno == 0 && *end == '\0' && *value >= low && *value <= high;
}

// "4697=41235": the device's port 4697 is reached at the host's port 41235.
bool ParsePortMap(const std::string& word, ScriptDevice* device) {
  const size_t equals = word.find('=');
  long from = 0;
  long to = 0;
  if (equals == std::string::npos || !ParseNumber(word.substr(0, equals), 1, 65535, &from) ||
      !ParseNumber(word.substr(equals + 1), 1, 65535, &to)) {
    return false;
  }
  device->ports[static_cast<uint16_t>(from)] = static_cast<uint16_t>(to);
  return true;
}

}  // namespace

bool ParseDeviceScript(const std::string& text, DeviceScript* script, std::string* error) {
  *script = DeviceScript();
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (words.empty() || words[0][0] == '#') continue;

    const std::string where = "line " + std::to_string(number) + ": ";
    const std::string& keyword = words[0];
    long value = 0;
    if (keyword == "device" && words.size() >= 3) {
      ScriptDevice device;
      device.serial = words[1];
      device.state = words[2];
      size_t next = 3;
      if (next < words.size() && words[next].find('=') == std::string::npos) device.host = words[next++];
      for (; next < words.size(); ++next) {
        if (!ParsePortMap(words[next], &device)) {
          *error = where + "bad port map '" + words[next] + "' (DEVICEPORT=PORT)";
          return false;
        }
      }
      script->devices.push_back(device);
    } else if (keyword == "style" && words.size() == 2 && (words[1] == "crlf" || words[1] == "lf")) {
      script->lineEnd = words[1] == "crlf" ? DeviceScript::LineEnd::kCrLf : DeviceScript::LineEnd::kLf;
    } else if (keyword == "not-found" && words.size() == 1) {
      script->notFound = true;
    } else if ((keyword == "delay" || keyword == "linger") && words.size() == 2 &&
               ParseNumber(words[1], 0, 600000, &value)) {
      (keyword == "delay" ? script->delayMs : script->lingerMs) = static_cast<int>(value);
    } else {
      *error = where + "cannot read '" + line + "'";
      return false;
    }
  }
  return true;
}

bool LoadDeviceScript(DeviceScript* script, std::string* error) {
  *script = DeviceScript();
  const char* path = std::getenv(kDevicesVariable);
  if (path == nullptr || *path == '\0') return true;
  std::ifstream file(path, std::ios::binary);
  if (!file) return true;
  std::ostringstream text;
  text << file.rdbuf();
  if (!ParseDeviceScript(text.str(), script, error)) {
    *error = std::string(path) + ": " + *error;
    return false;
  }
  return true;
}

}  // namespace adbsim
