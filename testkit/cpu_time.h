#pragma once
// Where a program runs and how much CPU it used, for benchmarks and tests that report figures: the
// native build, or the Windows build on Windows or under Wine (whose ntdll exports its version).
// Thread: any.
#include <string>

namespace testkit {

// "native (Linux)", "win32 (i686)" or "win32 (i686) under Wine <version>".
std::string PlatformName();
bool RunningUnderWine();

// User + system seconds of the whole process (under Wine, GetProcessTimes agrees with the
// kernel's count for the Wine process), and of the calling thread.
double ProcessCpuSeconds();
double ThreadCpuSeconds();

}  // namespace testkit
