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

// User + system seconds of another Linux process by its number, read from the kernel's stat file
// (in clock ticks, 100 a second). Under Wine the file is opened by the wineserver on the program's
// behalf, so "self" there would be the wineserver: only ever ask by number. Negative when it cannot
// be read.
double LinuxProcessCpuSeconds(const std::string& pid);

}  // namespace testkit
