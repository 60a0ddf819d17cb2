#pragma once
#include <cstring>

namespace kavex::platform {

// A library loaded at run time (LoadLibraryExW / dlopen) and the functions found in it by name. The
// engine reaches optional system and third-party libraries this way so that its own import table
// names only libraries every system has.
// Thread: any; Find may be called from several threads at once. Freed when the object goes.
class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary() { Free(); }
  DynamicLibrary(DynamicLibrary&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
      Free();
      handle_ = other.handle_;
      other.handle_ = nullptr;
    }
    return *this;
  }
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // name: a file name such as "dnssd.dll" or "libdns_sd.so.1", searched for the way the system
  // searches for libraries. Not loaded (loaded() false) when it cannot be found or loaded. On
  // Windows that search includes the host's folder, the current folder and PATH, where anybody may
  // have put a file of that name: only for libraries that live outside the system folder.
  static DynamicLibrary Load(const char* name);
  // The same, looked for only in the system's own folder (System32; the libraries' dependencies
  // too). Elsewhere the same as Load.
  static DynamicLibrary LoadFromSystemFolder(const char* name);

  bool loaded() const { return handle_ != nullptr; }
  // The exported symbol's address, or null.
  void* Find(const char* symbol) const;

  // The exported function of that name as a pointer of type F (which carries the calling
  // convention), or null.
  template <typename F>
  F FindFunction(const char* symbol) const {
    void* address = Find(symbol);
    F function = nullptr;
    static_assert(sizeof function == sizeof address, "function and data pointers differ in size");
    std::memcpy(&function, &address, sizeof function);
    return function;
  }

  void Free();

 private:
  void* handle_ = nullptr;
};

}  // namespace kavex::platform
