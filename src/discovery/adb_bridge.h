#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace kavex {

// What one bridge command gave: its output, or "err" when it could not be run.
struct AdbOutput {
  std::string text;
  // The system found no bridge program at all: not recorded, as most machines have none; the
  // watcher takes it, like the shell's "not found" texts, as the bridge not being installed.
  bool missing = false;
  uint32_t systemError = 0;  // with missing: the system's reason, for the caller's own record
};

// Runs one command of the Android debug bridge ("adb" + arguments) and returns what it printed;
// "err" when it could not be run (recorded in the error log: "mc" 89 without a pipe, "mc.<system
// error>" 106 when the program could not be started for a reason other than its absence).
// Thread: the bridge watcher's.
AdbOutput RunAdb(const std::string& arguments, bool waitForOutput, const std::atomic<bool>& running);

// How the watcher runs the bridge: RunAdb, or a test's stand-in.
using AdbRunner =
    std::function<AdbOutput(const std::string& arguments, bool waitForOutput, const std::atomic<bool>& running)>;

}  // namespace kavex
