#pragma once
#include <string>
#include <vector>

namespace adbsim {

// Starts this same program again with the given arguments as a process of its own that outlives
// the caller: no console, a session of its own, and none of the caller's handles. The last point
// matters most: the bridge's caller reads our output until the pipe closes, and a server that held
// the pipe's write end would keep that read waiting for as long as the server lives.
bool StartDetachedSelf(const std::vector<std::string>& args, std::string* error);

}  // namespace adbsim
