#include "platform/dynamic_library.h"

#include <windows.h>

#include <string>

namespace kavex::platform {

namespace {

std::wstring Wide(const char* text) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (length <= 1) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], length);
  wide.resize(static_cast<size_t>(length - 1));
  return wide;
}

}  // namespace

DynamicLibrary DynamicLibrary::Load(const char* name) {
  DynamicLibrary library;
  if (name == nullptr) return library;
  const std::wstring wide = Wide(name);
  if (wide.empty()) return library;
  library.handle_ = reinterpret_cast<void*>(LoadLibraryW(wide.c_str()));
  return library;
}

DynamicLibrary DynamicLibrary::LoadFromSystemFolder(const char* name) {
  DynamicLibrary library;
  if (name == nullptr) return library;
  const std::wstring wide = Wide(name);
  // A bare file name only: anything with a folder in it would be loaded from there.
  if (wide.empty() || wide.find_first_of(L"\\/:") != std::wstring::npos) return library;
  HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Systems without the search flags (Windows 7 before KB2533623) refuse the flag as a parameter:
  // the full path then names the folder, and the altered search finds the dependencies there too.
  if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
      const std::wstring path = std::wstring(folder, length) + L"\\" + wide;
      module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
  }
  library.handle_ = reinterpret_cast<void*>(module);
  return library;
}

void* DynamicLibrary::Find(const char* symbol) const {
  if (handle_ == nullptr || symbol == nullptr) return nullptr;
  FARPROC proc = GetProcAddress(static_cast<HMODULE>(handle_), symbol);
  void* address = nullptr;
  std::memcpy(&address, &proc, sizeof address);
  return address;
}

void DynamicLibrary::Free() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

}  // namespace kavex::platform
