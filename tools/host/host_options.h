#pragma once
// The host's command line. Pure parsing, no side effects.
#include <string>
#include <vector>

namespace kavexhost {

struct HostOptions {
  std::string dll = "engine.dll";  // a bare file name is looked for next to the host's program
  int cameras = 1;                 // 1-4: EInitialize's count and the number of EOpen calls
  int formatChoice = 0;            // the first answer to every camera's format choice, 0-10
  std::string passcodeFile;        // empty: passcodes are asked for on the console
  std::string eventsFile;          // empty: no machine-readable events
  std::string exportsFile;         // a .def file whose every export must resolve; empty: none
  double durationSeconds = 0.0;    // 0: no limit
  bool quiet = false;              // only the callbacks, prompts and errors are printed
  bool help = false;
};

struct OptionsResult {
  bool ok = false;
  HostOptions options;
  std::string error;
};

// args: the arguments after the program name.
OptionsResult ParseHostOptions(const std::vector<std::string>& args);

const char* HostUsage();

}  // namespace kavexhost
