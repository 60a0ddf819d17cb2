#include "commands.h"

#include <cstdlib>

#include "server_link.h"

namespace adbsim {

namespace {

CommandResult Fail(CommandResult result, const std::string& message) {
  result.err += "adb: error: " + message + "\n";
  result.exitCode = 1;
  return result;
}

// "tcp:N" with N in 1-65535.
bool ParseTcpSpec(const std::string& text, std::string* port) {
  if (text.compare(0, 4, "tcp:") != 0) return false;
  const std::string digits = text.substr(4);
  char* end = nullptr;
  const long value = std::strtol(digits.c_str(), &end, 10);
  if (digits.empty() || *end != '\0' || value < 1 || value > 65535) return false;
  *port = std::to_string(value);
  return true;
}

CommandResult Devices(const DeviceScript& script) {
  CommandResult result;
  if (!EnsureServer(ServerPort(), &result.err)) return Fail(result, "cannot connect to daemon");
  result.out = "List of devices attached\n";
  for (const auto& device : script.devices) result.out += device.serial + "\t" + device.state + "\n";
  result.out += "\n";
  return result;
}

// The device a command is for: the one named with -s, else the only one attached.
const ScriptDevice* ChooseDevice(const DeviceScript& script, const std::string& serial, std::string* error) {
  if (!serial.empty()) {
    const ScriptDevice* device = script.Find(serial);
    if (device == nullptr) *error = "device '" + serial + "' not found";
    return device;
  }
  if (script.devices.empty()) {
    *error = "no devices/emulators found";
    return nullptr;
  }
  if (script.devices.size() > 1) {
    *error = "more than one device/emulator";
    return nullptr;
  }
  return &script.devices.front();
}

CommandResult Forward(const std::vector<std::string>& args, const DeviceScript& script, const std::string& serial) {
  CommandResult result;
  const uint16_t port = ServerPort();
  if (args.size() == 1 && args[0] == "--list") {
    std::string reply;
    if (!EnsureServer(port, &result.err) || !AskServer(port, "list-forward", &reply) ||
        reply.compare(0, 5, "OKAY\n") != 0) {
      return Fail(result, "cannot connect to daemon");
    }
    result.out = reply.substr(5);
    return result;
  }
  std::string local;
  std::string remote;
  if (args.size() != 2 || !ParseTcpSpec(args[0], &local) || !ParseTcpSpec(args[1], &remote)) {
    return Fail(result, "usage: forward tcp:LOCAL tcp:REMOTE | forward --list");
  }
  std::string error;
  const ScriptDevice* device = ChooseDevice(script, serial, &error);
  if (device == nullptr) return Fail(result, error);
  if (device->state != "device") return Fail(result, "device " + device->state);
  if (!EnsureServer(port, &result.err)) return Fail(result, "cannot connect to daemon");
  std::string reply;
  if (!AskServer(port, "forward " + device->serial + " " + local + " " + remote, &reply)) {
    return Fail(result, "cannot connect to daemon");
  }
  if (reply.compare(0, 4, "OKAY") != 0) {
    std::string reason = reply.size() > 5 ? reply.substr(5) : reply;
    if (!reason.empty() && reason.back() == '\n') reason.pop_back();
    return Fail(result, reason);
  }
  return result;
}

CommandResult KillServer() {
  CommandResult result;
  std::string reply;
  const uint16_t port = ServerPort();
  if (!AskServer(port, "kill", &reply)) {
    result.err = "cannot connect to daemon at tcp:" + std::to_string(port) + ": Connection refused\n";
    result.exitCode = 1;
  }
  return result;
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argsIn, const DeviceScript& script) {
  std::vector<std::string> args = argsIn;
  std::string serial;
  if (args.size() >= 2 && args[0] == "-s") {
    serial = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) return Fail(CommandResult(), "no command (devices, forward, kill-server, start-server)");
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "devices" && args.empty()) return Devices(script);
  if (command == "forward") return Forward(args, script, serial);
  if (command == "kill-server" && args.empty()) return KillServer();
  if (command == "start-server" && args.empty()) {
    CommandResult result;
    if (!EnsureServer(ServerPort(), &result.err)) return Fail(result, "cannot connect to daemon");
    return result;
  }
  return Fail(CommandResult(), "unknown command " + command);
}

}  // namespace adbsim
