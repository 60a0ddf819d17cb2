#include "process_figures.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace soak {
namespace {

// Entries of a /proc folder, without "." and "..".
int64_t CountEntries(const char* path) {
  DIR* dir = opendir(path);
  if (dir == nullptr) return -1;
  int64_t count = 0;
  while (const dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count;
}

}  // namespace

ProcessFigures ReadProcessFigures() {
  ProcessFigures figures;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) figures.residentKiB = std::strtoll(line.c_str() + 6, nullptr, 10);
    if (line.rfind("VmData:", 0) == 0) figures.privateKiB = std::strtoll(line.c_str() + 7, nullptr, 10);
    if (line.rfind("VmSize:", 0) == 0) figures.addressSpaceKiB = std::strtoll(line.c_str() + 7, nullptr, 10);
  }
  // The folder's own descriptor, open while it is read, is counted too: the same one every time.
  figures.handles = CountEntries("/proc/self/fd");
  figures.threads = CountEntries("/proc/self/task");
  return figures;
}

int64_t AddressRoom(int) { return -1; }

std::map<std::string, int64_t> HandlesByKind() {
  std::map<std::string, int64_t> kinds;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return kinds;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    char target[256];
    const ssize_t n = readlink((std::string("/proc/self/fd/") + entry->d_name).c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    std::string kind(target, static_cast<size_t>(n));
    if (kind[0] == '/')
      kind = "file";
    else if (kind.rfind("anon_inode:", 0) != 0)
      kind = kind.substr(0, kind.find(':'));  // socket:[123]
    ++kinds[kind];
  }
  closedir(dir);
  return kinds;
}

void NoteThreadNames() {}

const char* ResidentName() { return "rss"; }
const char* PrivateName() { return "data"; }

}  // namespace soak
