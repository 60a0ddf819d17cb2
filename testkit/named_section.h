#pragma once
// A named shared section of the system's, as a process outside the engine maps it: a camera's
// consumer creates or opens its camera's section, a second process opens it to look. Windows only:
// the native build's engine keeps its named objects in a table of its own process, which only its
// own platform layer reaches.
// Thread: any. Owns the mapping handle and the view.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace testkit {

class NamedSection {
 public:
  // Creates the section (page read-write) or opens the existing one of that name, and maps `size`
  // bytes read-write. Null with *error set on failure.
  static std::unique_ptr<NamedSection> CreateOrOpen(const char* name, size_t size, std::string* error);
  // Maps an existing section read-only, all of it. Null with *error set when there is none.
  static std::unique_ptr<NamedSection> OpenExisting(const char* name, std::string* error);
  ~NamedSection();
  NamedSection(const NamedSection&) = delete;
  NamedSection& operator=(const NamedSection&) = delete;

  uint8_t* data() const { return view_; }

 private:
  NamedSection(void* mapping, uint8_t* view) : mapping_(mapping), view_(view) {}
  // Takes the mapping handle (closed on failure) and maps it.
  static std::unique_ptr<NamedSection> Map(void* mapping, unsigned long access, size_t size, std::string* error);

  void* mapping_;
  uint8_t* view_;
};

}  // namespace testkit
