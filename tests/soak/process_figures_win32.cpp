#include "process_figures.h"

#include <windows.h>
// After windows.h.
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <vector>

namespace soak {
namespace {

// Wine fills neither PrivateUsage nor the handle count (both read 0). Its PagefileUsage is the
// process's anonymous memory, the same figure Windows gives as both; its handle count comes from
// the system's handle table, which Wine keeps in the wineserver.
int64_t PrivateKiB(const PROCESS_MEMORY_COUNTERS_EX& memory) {
  const SIZE_T bytes = memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage;
  return static_cast<int64_t>(bytes / 1024);
}

struct SystemHandleEntry {
  ULONG ownerProcessId;
  BYTE objectType;
  BYTE flags;
  USHORT value;
  PVOID object;
  ACCESS_MASK access;
};
struct SystemHandleInformation {
  ULONG count;
  SystemHandleEntry entries[1];
};
using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

int64_t HandlesFromSystemTable() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto query = ntdll == nullptr ? nullptr
                                : reinterpret_cast<QuerySystemInformation>(
                                      reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<unsigned char> buffer(1 << 20);
  for (int attempt = 0; attempt < 6; ++attempt) {
    ULONG needed = 0;
    const LONG status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == kInfoLengthMismatch) {
      buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
      continue;
    }
    if (status < 0) return -1;
    const auto* table = reinterpret_cast<const SystemHandleInformation*>(buffer.data());
    const DWORD self = GetCurrentProcessId();
    int64_t count = 0;
    for (ULONG i = 0; i < table->count; ++i)
      if (table->entries[i].ownerProcessId == self) ++count;
    return count;
  }
  return -1;
}

}  // namespace

ProcessFigures ReadProcessFigures() {
  ProcessFigures figures;
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof(memory);
  if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory))) {
    figures.residentKiB = static_cast<int64_t>(memory.WorkingSetSize / 1024);
    figures.privateKiB = PrivateKiB(memory);
  }
  DWORD handles = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles != 0) {
    figures.handles = handles;
  } else {
    figures.handles = HandlesFromSystemTable();
  }

  // The snapshot lists every thread of the system; ours are those with our process id.
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    const DWORD self = GetCurrentProcessId();
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    int64_t threads = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
      if (entry.th32OwnerProcessID == self) ++threads;
    CloseHandle(snapshot);
    figures.threads = threads;
  }
  return figures;
}

const char* ResidentName() { return "working_set"; }
const char* PrivateName() { return "private"; }

}  // namespace soak
