#include "cpu_time.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <time.h>
#endif

namespace testkit {
namespace {

#ifdef _WIN32
using WineVersion = const char*(__cdecl*)();

WineVersion WineVersionFunction() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr
             ? reinterpret_cast<WineVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")))
             : nullptr;
}

double Seconds(const FILETIME& time) {
  return static_cast<double>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
}
#endif

}  // namespace

std::string PlatformName() {
#ifdef _WIN32
  if (const WineVersion version = WineVersionFunction()) return std::string("win32 (i686) under Wine ") + version();
  return "win32 (i686)";
#else
  return "native (Linux)";
#endif
}

bool RunningUnderWine() {
#ifdef _WIN32
  return WineVersionFunction() != nullptr;
#else
  return false;
#endif
}

double ProcessCpuSeconds() {
#ifdef _WIN32
  FILETIME creation, exit, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user)) return 0;
  return Seconds(kernel) + Seconds(user);
#else
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
#endif
}

double ThreadCpuSeconds() {
#ifdef _WIN32
  FILETIME creation, exit, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &creation, &exit, &kernel, &user)) return 0;
  return Seconds(kernel) + Seconds(user);
#else
  timespec now{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) return 0;
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
#endif
}

}  // namespace testkit
