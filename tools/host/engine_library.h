#pragma once
// The engine DLL, loaded as any host loads it: LoadLibrary, then every export by its plain name
// through GetProcAddress, into pointers of the calling conventions the public header declares.
//
// Main thread only. Owns the module handle; the destructor frees it, so the engine must have been
// shut down (every instance uninitialised) before.
#include <windows.h>

#include <string>

#include "kavex_engine.h"

namespace kavexhost {

using EngineExports = ::KavexEngineExports;

class EngineLibrary {
 public:
  EngineLibrary() = default;
  EngineLibrary(const EngineLibrary&) = delete;
  EngineLibrary& operator=(const EngineLibrary&) = delete;
  ~EngineLibrary();

  // Loads the DLL and resolves all fourteen exports; on failure nothing stays loaded and error
  // names the file and every missing export.
  bool Load(const std::string& path, std::string* error);
  void Unload();

  const EngineExports& exports() const { return exports_; }
  static constexpr int kExportCount = 14;

 private:
  HMODULE module_ = nullptr;
  EngineExports exports_;
};

// A bare file name is taken from the folder of the running program (where the engine ships next to
// its host), not from the DLL search path; anything with a folder in it is used as given.
std::string EnginePathFor(const std::string& dll);

}  // namespace kavexhost
