// A camera consumer in a process of its own: opens a camera's section by its name and checks
// 32-bit fields in it. Usage:
//   camera_section_peer CAMERA OFFSET EXPECTED [OFFSET EXPECTED ...]
// Exit codes: 0 every field as expected, 2 bad arguments, 3 no section, 5 a field differs (the
// first difference is printed).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "camera_section_layout.h"
#include "camera_section_peer.h"
#include "named_section.h"

int main(int argc, char** argv) {
  if (argc < 4 || (argc - 2) % 2 != 0) return 2;
  const char* name = testkit::camera_section::SectionName(std::atoi(argv[1]));
  if (name == nullptr) return 2;
  std::string error;
  const std::unique_ptr<testkit::NamedSection> section = testkit::NamedSection::OpenExisting(name, &error);
  if (section == nullptr) {
    std::printf("%s\n", error.c_str());
    return 3;
  }
  const testkit::CameraSectionPeer peer(section->data());
  for (int i = 2; i + 1 < argc; i += 2) {
    const unsigned long offset = std::strtoul(argv[i], nullptr, 10);
    const unsigned long expected = std::strtoul(argv[i + 1], nullptr, 10);
    if (offset > testkit::camera_section::kBytes - 4) return 2;
    const uint32_t value = peer.LoadU32(offset);
    if (value != expected) {
      std::printf("offset %lu: %u, expected %lu\n", offset, value, expected);
      return 5;
    }
  }
  return 0;
}
