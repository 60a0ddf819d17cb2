#pragma once
#include <atomic>
#include <string>

namespace kavex {

// Runs one command of the Android debug bridge ("adb" + arguments) and returns what it printed;
// "err" when it could not be run (recorded in the error log: "mc" 89 without a pipe, "mc.<system
// error>" 106 when the program could not be started, e.g. when it is not installed).
// Thread: the bridge watcher's.
std::string RunAdb(const std::string& arguments, bool waitForOutput, const std::atomic<bool>& running);

}  // namespace kavex
