#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The device script: which devices are "attached" and how the bridge behaves, read from the file
// that KAVEX_ADB_DEVICES names. Both the command and the server read it afresh each time they
// need it, so a test plugs and unplugs devices by rewriting the file. Format: README.md.
namespace adbsim {

struct ScriptDevice {
  std::string serial;
  std::string state;                   // "device" when usable; any other word is listed as it is
  std::string host = "127.0.0.1";      // where the device's ports are reached
  std::map<uint16_t, uint16_t> ports;  // device port -> port at host (unlisted: the same number)

  uint16_t PortAtHost(uint16_t devicePort) const;
};

struct DeviceScript {
  enum class LineEnd { kPlatform, kCrLf, kLf };
  LineEnd lineEnd = LineEnd::kPlatform;
  bool notFound = false;  // behave as a shell that has no bridge program
  int delayMs = 0;        // before any output
  int lingerMs = 0;       // after the output, before exiting
  std::vector<ScriptDevice> devices;

  const ScriptDevice* Find(const std::string& serial) const;
  // "\r\n" or "\n": the platform's own (CRLF on Windows builds) unless the script chose.
  const char* Eol() const;
};

constexpr const char kDevicesVariable[] = "KAVEX_ADB_DEVICES";

// Parses a script text; false with the line and the reason in error.
bool ParseDeviceScript(const std::string& text, DeviceScript* script, std::string* error);
// The script of KAVEX_ADB_DEVICES. No variable, or a file that is not there, is a script with no
// devices (unplugging everything by deleting the file is allowed); a file that does not parse is
// an error.
bool LoadDeviceScript(DeviceScript* script, std::string* error);

}  // namespace adbsim
