// A second process for the named-object tests: what the camera's consumers do when they open the
// engine's objects by name. Usage:
//   named_object_peer SECTION SIZE OFFSET EXPECTED WRITTEN EVENT
// opens the section SECTION (at least SIZE bytes), checks the byte at OFFSET against EXPECTED,
// writes WRITTEN at OFFSET + 1, then opens the event EVENT and sets it.
// Exit codes: 0 done, 2 bad arguments, 3 no section, 4 no view, 5 wrong byte, 6 no event.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 7) return 2;
  const char* sectionName = argv[1];
  const unsigned long size = std::strtoul(argv[2], nullptr, 10);
  const unsigned long offset = std::strtoul(argv[3], nullptr, 10);
  const int expected = std::atoi(argv[4]);
  const int written = std::atoi(argv[5]);
  const char* eventName = argv[6];
  if (size == 0 || offset + 1 >= size) return 2;

  HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, sectionName);
  if (mapping == nullptr) return 3;
  auto* view = static_cast<unsigned char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size));
  if (view == nullptr) {
    CloseHandle(mapping);
    return 4;
  }
  const bool matches = view[offset] == expected;
  if (matches) view[offset + 1] = static_cast<unsigned char>(written);
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  if (!matches) return 5;

  HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, eventName);
  if (event == nullptr) return 6;
  SetEvent(event);
  CloseHandle(event);
  return 0;
}
