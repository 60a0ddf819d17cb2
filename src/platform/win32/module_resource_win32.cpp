#include "platform/module_resource.h"

#include <windows.h>

namespace kavex::platform {

namespace {
// Any object of this file lies inside the module that carries the engine's resources.
const char kModuleAnchor = 0;
}  // namespace

bool LoadModuleResource(int id, const uint8_t** data, size_t* size) {
  if (data == nullptr || size == nullptr) return false;
  *data = nullptr;
  *size = 0;
  HMODULE module = nullptr;
  // The unchanged reference count: the module cannot go away while its own code runs, so there is
  // nothing to release afterwards.
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&kModuleAnchor), &module)) {
    return false;
  }
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (info == nullptr) return false;
  HGLOBAL loaded = LoadResource(module, info);
  if (loaded == nullptr) return false;
  const void* bytes = LockResource(loaded);
  const DWORD length = SizeofResource(module, info);
  if (bytes == nullptr || length == 0) return false;
  *data = static_cast<const uint8_t*>(bytes);
  *size = length;
  return true;
}

}  // namespace kavex::platform
