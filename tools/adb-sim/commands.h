#pragma once
#include <string>
#include <vector>

#include "device_script.h"

namespace adbsim {

// What one command run printed and how it ends; "\n" ends lines here, the caller writes the
// script's line ends.
struct CommandResult {
  std::string out;
  std::string err;
  int exitCode = 0;
};

// Runs one command line (the arguments after the program name) against the script.
CommandResult RunCommand(const std::vector<std::string>& args, const DeviceScript& script);

}  // namespace adbsim
