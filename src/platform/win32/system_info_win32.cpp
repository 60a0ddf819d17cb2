#include "platform/system_info.h"

#include <windows.h>

#include <cstring>

namespace kavex::platform {

bool QuerySystemVersion(SystemVersion* out) {
  if (out == nullptr) return false;
  // ntdll is in every process; its function is looked up, never imported.
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return false;
  using RtlGetVersionFunction = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
  FARPROC proc = GetProcAddress(ntdll, "RtlGetVersion");
  if (proc == nullptr) return false;
  RtlGetVersionFunction rtlGetVersion = nullptr;
  std::memcpy(&rtlGetVersion, &proc, sizeof rtlGetVersion);
  RTL_OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (rtlGetVersion(&info) != 0) return false;
  out->major = info.dwMajorVersion;
  out->minor = info.dwMinorVersion;
  out->build = info.dwBuildNumber;
  return true;
}

uint32_t LastSystemError() { return GetLastError(); }

}  // namespace kavex::platform
