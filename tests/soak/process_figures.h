#pragma once
// What a long run watches of its own process, which holds the engine: memory, kernel handles (open
// descriptors natively) and threads. A figure that cannot be read is -1.
// Thread: any.
#include <cstdint>
#include <map>
#include <string>

namespace soak {

struct ProcessFigures {
  // Natively the resident set (VmRSS); under Windows the working set.
  int64_t residentKiB = -1;
  // Natively the data segment (VmData: heap and anonymous mappings, thread stacks included); under
  // Windows the private bytes (PrivateUsage), the figure that grows with a leak.
  int64_t privateKiB = -1;
  int64_t handles = -1;
  int64_t threads = -1;
  // The address space in use (natively VmSize).
  int64_t addressSpaceKiB = -1;
};

ProcessFigures ReadProcessFigures();

// How many blocks of blockMiB the address space still has room for (Windows only; -1 natively): a
// 32-bit process runs out of room for a large mapping or picture long before it runs out of memory.
// It reserves the blocks to count them, so it is for an occasional look, not every reading.
int64_t AddressRoom(int blockMiB);

// The handles counted above by kind (Windows' object type names; natively what a descriptor refers
// to: "socket", "pipe", "file", an anonymous inode's name), so that a report can say what grew.
std::map<std::string, int64_t> HandlesByKind();

// Remembers the names of this process's running threads, so that HandlesByKind can name a thread
// whose handle outlived it (an ended thread's name can no longer be read). Nothing natively.
void NoteThreadNames();

// The names of the two memory figures on this platform, for the printed lines.
const char* ResidentName();
const char* PrivateName();

}  // namespace soak
