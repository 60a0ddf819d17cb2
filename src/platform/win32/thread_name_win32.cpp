#include "platform/thread_name.h"

#include <windows.h>

#include <cstring>

namespace kavex::platform {

namespace {

constexpr size_t kMaxNameLength = 15;  // kept as short as the native build's, for the same names

using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);

// Looked up at run time: the functions exist only from Windows 10 version 1607 on, and the DLL's
// import table names nothing a supported system might lack.
template <typename Function>
Function Kernel32Function(const char* name) {
  Function function = nullptr;
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  const FARPROC proc = kernel32 != nullptr ? GetProcAddress(kernel32, name) : nullptr;
  if (proc != nullptr) std::memcpy(&function, &proc, sizeof function);
  return function;
}

}  // namespace

void NameCurrentThread(const std::string& name) {
  static const SetDescription set = Kernel32Function<SetDescription>("SetThreadDescription");
  if (set == nullptr) return;
  // Engine thread names are ASCII: widened byte by byte.
  const std::string cut = name.substr(0, kMaxNameLength);
  const std::wstring wide(cut.begin(), cut.end());
  set(GetCurrentThread(), wide.c_str());
}

std::string CurrentThreadName() {
  static const GetDescription get = Kernel32Function<GetDescription>("GetThreadDescription");
  if (get == nullptr) return std::string();
  PWSTR wide = nullptr;
  if (FAILED(get(GetCurrentThread(), &wide)) || wide == nullptr) return std::string();
  std::string name;
  for (const wchar_t* c = wide; *c != L'\0'; ++c) name.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
  LocalFree(wide);
  return name;
}

unsigned long CurrentThreadId() { return GetCurrentThreadId(); }

}  // namespace kavex::platform
