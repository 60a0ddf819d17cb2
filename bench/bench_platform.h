#pragma once
// Where a benchmark ran, for its printed header: the native build, or the Windows build on Windows
// or under Wine (whose ntdll exports its version).
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace bench {

inline std::string Platform() {
#ifdef _WIN32
  using WineVersion = const char*(__cdecl*)();
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  const auto wineVersion =
      ntdll != nullptr ? reinterpret_cast<WineVersion>(
                             reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")))
                       : nullptr;
  if (wineVersion != nullptr) return std::string("win32 (i686) under Wine ") + wineVersion();
  return "win32 (i686)";
#else
  return "native (Linux)";
#endif
}

}  // namespace bench
