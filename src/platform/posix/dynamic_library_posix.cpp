#include "platform/dynamic_library.h"

#include <dlfcn.h>

namespace kavex::platform {

DynamicLibrary DynamicLibrary::Load(const char* name) {
  DynamicLibrary library;
  if (name == nullptr) return library;
  // Local binding: the library's symbols must not stand in for anything else in the process.
  library.handle_ = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  return library;
}

DynamicLibrary DynamicLibrary::LoadFromSystemFolder(const char* name) { return Load(name); }

void* DynamicLibrary::Find(const char* symbol) const {
  if (handle_ == nullptr || symbol == nullptr) return nullptr;
  return dlsym(handle_, symbol);
}

void DynamicLibrary::Free() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
}

}  // namespace kavex::platform
