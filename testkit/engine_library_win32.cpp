#include <windows.h>

#include <type_traits>
#include <vector>

#include "engine_library.h"

namespace testkit {

bool EngineLibrary::Load(const std::string& path, std::string* error) {
  Unload();
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  EngineExports found;
  PreviewExports foundPreview;
  std::vector<std::string> missing;
  const auto resolve = [&](const char* name, auto& slot) {
    using Fn = std::remove_reference_t<decltype(slot)>;
    slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (slot == nullptr) missing.push_back(name);
  };
  VisitExports(found, resolve);
  VisitPreviewExports(foundPreview, resolve);
  if (!missing.empty()) {
    std::string names;
    for (const std::string& name : missing) names += (names.empty() ? "" : ", ") + name;
    *error = path + " lacks the export" + (missing.size() > 1 ? "s " : " ") + names;
    FreeLibrary(module);
    return false;
  }
  module_ = module;
  exports_ = found;
  preview_ = foundPreview;
  return true;
}

void EngineLibrary::Unload() {
  if (module_ != nullptr) FreeLibrary(static_cast<HMODULE>(module_));
  module_ = nullptr;
  exports_ = EngineExports();
  preview_ = PreviewExports();
}

std::string EnginePathFor(const std::string& dll) {
  if (dll.find_first_of("\\/:") != std::string::npos) return dll;
  char program[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
  if (length == 0 || length >= sizeof program) return dll;
  std::string folder(program, length);
  const size_t slash = folder.find_last_of("\\/");
  if (slash == std::string::npos) return dll;
  return folder.substr(0, slash + 1) + dll;
}

}  // namespace testkit
