#pragma once
#include <string>

namespace kavex::platform {

// Names the calling thread, so that a debugger, a crash dump or a process viewer in the host's
// process tells the engine's threads apart ("kavex-recv-0", "kavex-decode-0", ...). Names longer
// than 15 characters are cut (the native limit). Best effort: where the system has no way to name
// threads (Windows before 10 version 1607), nothing happens.
// Thread: any, for itself.
void NameCurrentThread(const std::string& name);
// The calling thread's name as the system keeps it; empty when it has none or cannot tell.
std::string CurrentThreadName();
// The system's identifier of the calling thread, as debuggers and process viewers show it.
unsigned long CurrentThreadId();

}  // namespace kavex::platform
