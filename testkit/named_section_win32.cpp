#include <windows.h>

#include "named_section.h"

namespace testkit {

std::unique_ptr<NamedSection> NamedSection::Map(void* mapping, unsigned long access, size_t size, std::string* error) {
  if (mapping == nullptr) return nullptr;
  void* view = MapViewOfFile(mapping, access, 0, 0, size);
  if (view == nullptr) {
    *error = "MapViewOfFile failed: " + std::to_string(GetLastError());
    CloseHandle(mapping);
    return nullptr;
  }
  return std::unique_ptr<NamedSection>(new NamedSection(mapping, static_cast<uint8_t*>(view)));
}

std::unique_ptr<NamedSection> NamedSection::CreateOrOpen(const char* name, size_t size, std::string* error) {
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size), name);
  if (mapping == nullptr)
    *error = std::string("CreateFileMapping ") + name + " failed: " + std::to_string(GetLastError());
  return Map(mapping, FILE_MAP_ALL_ACCESS, size, error);
}

std::unique_ptr<NamedSection> NamedSection::OpenExisting(const char* name, std::string* error) {
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
  if (mapping == nullptr)
    *error = std::string("OpenFileMapping ") + name + " failed: " + std::to_string(GetLastError());
  return Map(mapping, FILE_MAP_READ, 0, error);
}

NamedSection::~NamedSection() {
  UnmapViewOfFile(view_);
  CloseHandle(mapping_);
}
}  // namespace testkit
