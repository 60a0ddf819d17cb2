#include "process_figures.h"

#include <windows.h>
// After windows.h.
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <mutex>
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

template <typename T>
T NtdllFunction(const char* name) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll == nullptr ? nullptr : reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(ntdll, name)));
}

// This process's entries of the system's handle table; false if it cannot be read.
bool OwnHandles(std::vector<SystemHandleEntry>* own) {
  auto query = NtdllFunction<QuerySystemInformation>("NtQuerySystemInformation");
  if (query == nullptr) return false;
  std::vector<unsigned char> buffer(1 << 20);
  for (int attempt = 0; attempt < 6; ++attempt) {
    ULONG needed = 0;
    const LONG status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == kInfoLengthMismatch) {
      buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
      continue;
    }
    if (status < 0) return false;
    const auto* table = reinterpret_cast<const SystemHandleInformation*>(buffer.data());
    const DWORD self = GetCurrentProcessId();
    for (ULONG i = 0; i < table->count; ++i)
      if (table->entries[i].ownerProcessId == self) own->push_back(table->entries[i]);
    return true;
  }
  return false;
}

int64_t HandlesFromSystemTable() {
  std::vector<SystemHandleEntry> own;
  return OwnHandles(&own) ? static_cast<int64_t>(own.size()) : -1;
}

// The name of a handle's object type ("Event", "Thread", ...), from the handle itself.
std::string TypeName(USHORT value) {
  using QueryObject = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
  constexpr ULONG kObjectTypeInformation = 2;
  auto query = NtdllFunction<QueryObject>("NtQueryObject");
  // The answer starts with the name as a counted UTF-16 string pointing into the same buffer.
  alignas(8) unsigned char buffer[1024];
  ULONG needed = 0;
  if (query == nullptr || query(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value)), kObjectTypeInformation, buffer,
                                sizeof buffer, &needed) < 0)
    return "?";
  struct Counted {
    USHORT length;
    USHORT maximum;
    PWSTR text;
  };
  const auto* name = reinterpret_cast<const Counted*>(buffer);
  std::string out;
  for (USHORT i = 0; name->text != nullptr && i < name->length / 2; ++i)
    out += name->text[i] < 128 ? static_cast<char>(name->text[i]) : '?';
  return out;
}

std::mutex g_namesMutex;
std::map<DWORD, std::string>& NotedNames() {
  static std::map<DWORD, std::string> names;  // thread id -> name, as seen running
  return names;
}

std::string ThreadName(HANDLE thread) {
  using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  auto get =
      kernel32 == nullptr
          ? nullptr
          : reinterpret_cast<GetDescription>(reinterpret_cast<void*>(GetProcAddress(kernel32, "GetThreadDescription")));
  PWSTR wide = nullptr;
  std::string name;
  if (get != nullptr && SUCCEEDED(get(thread, &wide)) && wide != nullptr) {
    for (const wchar_t* c = wide; *c != L'\0'; ++c) name.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
    LocalFree(wide);
  }
  DWORD code = 0;
  if (GetExitCodeThread(thread, &code) && code == STILL_ACTIVE) return name + ", running";
  std::lock_guard<std::mutex> lock(g_namesMutex);
  const auto noted = NotedNames().find(GetThreadId(thread));
  return noted != NotedNames().end() ? noted->second + ", ended" : name;
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
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof(status);
  if (GlobalMemoryStatusEx(&status))
    figures.addressSpaceKiB = static_cast<int64_t>((status.ullTotalVirtual - status.ullAvailVirtual) / 1024);
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

int64_t AddressRoom(int blockMiB) {
  // Found by reserving the blocks (and letting them go): Wine lists much of the room it hands out
  // as reserved, so walking the free regions says too little.
  const SIZE_T block = static_cast<SIZE_T>(blockMiB) << 20;
  std::vector<void*> blocks;
  while (void* reserved = VirtualAlloc(nullptr, block, MEM_RESERVE, PAGE_NOACCESS)) blocks.push_back(reserved);
  for (void* reserved : blocks) VirtualFree(reserved, 0, MEM_RELEASE);
  return static_cast<int64_t>(blocks.size());
}

std::map<std::string, int64_t> HandlesByKind() {
  std::map<std::string, int64_t> kinds;
  std::vector<SystemHandleEntry> own;
  if (!OwnHandles(&own)) return kinds;
  std::map<BYTE, std::string> names;  // one query per type number
  for (const SystemHandleEntry& entry : own) {
    auto found = names.find(entry.objectType);
    if (found == names.end()) {
      std::string name = TypeName(entry.value);
      if (name.empty()) name = "type " + std::to_string(entry.objectType);
      found = names.emplace(entry.objectType, name).first;
    }
    // A thread handle left open says whose it was by the thread's name.
    std::string kind = found->second;
    if (kind == "Thread") kind += "(" + ThreadName(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(entry.value))) + ")";
    ++kinds[kind];
  }
  return kinds;
}

void NoteThreadNames() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  const DWORD self = GetCurrentProcessId();
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != self) continue;
    HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
    if (thread == nullptr) continue;
    std::string name = ThreadName(thread);
    CloseHandle(thread);
    const size_t running = name.find(", running");
    if (running == std::string::npos) continue;
    std::lock_guard<std::mutex> lock(g_namesMutex);
    NotedNames()[entry.th32ThreadID] = name.substr(0, running);
  }
  CloseHandle(snapshot);
}

const char* ResidentName() { return "working_set"; }
const char* PrivateName() { return "private"; }

}  // namespace soak
