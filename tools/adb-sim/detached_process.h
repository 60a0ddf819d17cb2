#pragma once
#include <string>
#include <vector>

namespace adbsim {

// Starts this same program again with the given arguments as a process of its own that outlives
// the caller: no console, a session of its own, and none of the caller's handles. The last point
// matters most: the bridge's caller reads our output until the pipe closes, and a server that held
// the pipe's write end would keep that read waiting for as long as the server lives.
//
// Natively, KAVEX_ADB_SERVER_LOG names a file for the server's error stream (else /dev/null).
constexpr const char kServerLogVariable[] = "KAVEX_ADB_SERVER_LOG";
bool StartDetachedSelf(const std::vector<std::string>& args, std::string* error);

}  // namespace adbsim
