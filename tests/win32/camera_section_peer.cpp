// A camera consumer in a process of its own: opens a camera section by name and checks 32-bit
// fields in it. Usage:
//   camera_section_peer SECTION OFFSET EXPECTED [OFFSET EXPECTED ...]
// Exit codes: 0 every field as expected, 2 bad arguments, 3 no section, 4 no view, 5 a field
// differs (the first difference is printed).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 4 || (argc - 2) % 2 != 0) return 2;
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, argv[1]);
  if (mapping == nullptr) return 3;
  const auto* view = static_cast<const unsigned char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
  if (view == nullptr) {
    CloseHandle(mapping);
    return 4;
  }
  int result = 0;
  for (int i = 2; i + 1 < argc; i += 2) {
    const unsigned long offset = std::strtoul(argv[i], nullptr, 10);
    const unsigned long expected = std::strtoul(argv[i + 1], nullptr, 10);
    unsigned int value = 0;
    std::memcpy(&value, view + offset, 4);
    if (value != expected) {
      std::printf("offset %lu: %u, expected %lu\n", offset, value, expected);
      result = 5;
      break;
    }
  }
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  return result;
}
