// adb (adb.exe under Windows): stands in for the Android debug bridge in tests. The device script
// (README.md) says which devices are attached and how the bridge behaves.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "commands.h"
#include "device_script.h"
#include "server.h"
#include "sim_socket.h"

namespace {

// The line ends are the script's, byte for byte: nothing may translate them again.
void Write(FILE* stream, const std::string& text, const char* eol) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += eol;
    } else {
      out += c;
    }
  }
  std::fwrite(out.data(), 1, out.size(), stream);
  std::fflush(stream);
}

void Pause(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "--server") {
    const long port = std::strtol(args[1].c_str(), nullptr, 10);
    return port >= 1 && port <= 65535 ? adbsim::RunServer(static_cast<uint16_t>(port)) : 2;
  }
  if (!simsock::StartNetwork()) {
    std::fputs("adb: cannot start the network\n", stderr);
    return 1;
  }

  adbsim::DeviceScript script;
  std::string error;
  if (!adbsim::LoadDeviceScript(&script, &error)) {
    Write(stderr, "adb-sim: device script " + error + "\n", script.Eol());
    return 2;
  }
  Pause(script.delayMs);
  if (script.notFound) {
    // What a shell says when there is no bridge program to run.
    Write(stderr, "sh: 1: adb: not found\n", script.Eol());
    Pause(script.lingerMs);
    return 127;
  }
  const adbsim::CommandResult result = adbsim::RunCommand(args, script);
  Write(stderr, result.err, script.Eol());
  Write(stdout, result.out, script.Eol());
  Pause(script.lingerMs);
  return result.exitCode;
}
