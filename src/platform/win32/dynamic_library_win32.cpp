#include "platform/dynamic_library.h"

#include <windows.h>

#include <string>

namespace kavex::platform {

DynamicLibrary DynamicLibrary::Load(const char* name) {
  DynamicLibrary library;
  if (name == nullptr) return library;
  const int length = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
  if (length <= 0) return library;
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, name, -1, &wide[0], length);
  library.handle_ = reinterpret_cast<void*>(LoadLibraryW(wide.c_str()));
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
