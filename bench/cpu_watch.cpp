#include "cpu_watch.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "cpu_time.h"

#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#endif

namespace bench {
namespace {

// The utime and stime fields (14 and 15) of a /proc stat line, in seconds; negative when the line
// is not one. The name before them is in parentheses and may hold spaces.
double StatLineCpuSeconds(const std::string& text) {
  const size_t nameEnd = text.rfind(')');
  if (nameEnd == std::string::npos) return -1;
  std::istringstream fields(text.substr(nameEnd + 1));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) user = std::strtoull(field.c_str(), nullptr, 10);
    if (index == 15) system = std::strtoull(field.c_str(), nullptr, 10);
  }
  return fields ? static_cast<double>(user + system) / 100.0 : -1;  // USER_HZ is 100 on Linux
}

std::string FileText(const std::string& path) {
  std::ifstream file(path);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

#ifdef _WIN32
double Seconds(const FILETIME& time) {
  return static_cast<double>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
}

using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);

// Looked up at run time: the function exists only from Windows 10 version 1607 on.
GetDescription GetThreadDescriptionFunction() {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  const FARPROC proc = kernel32 != nullptr ? GetProcAddress(kernel32, "GetThreadDescription") : nullptr;
  GetDescription function = nullptr;
  if (proc != nullptr) std::memcpy(&function, &proc, sizeof function);
  return function;
}

std::string ThreadDescription(HANDLE thread) {
  static const GetDescription get = GetThreadDescriptionFunction();
  PWSTR wide = nullptr;
  if (get == nullptr || FAILED(get(thread, &wide)) || wide == nullptr) return std::string();
  std::string name;
  for (const wchar_t* c = wide; *c != L'\0'; ++c) name.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
  LocalFree(wide);
  return name;
}
#endif

}  // namespace

MachineIdle ReadMachineIdle() {
  MachineIdle idle;
  std::ifstream stat(testkit::RunningUnderWine() ? "Z:\\proc\\stat" : "/proc/stat");
  std::string label;
  if (!(stat >> label) || label != "cpu") return idle;
  unsigned long long value = 0;
  for (int field = 0; field < 5 && stat >> value; ++field) {
    if (field == 3 || field == 4) idle.ticks += value;  // idle, iowait
    idle.valid = field == 4;
  }
  return idle;
}

double ReadLoadAverage() {
  std::ifstream loadavg(testkit::RunningUnderWine() ? "Z:\\proc\\loadavg" : "/proc/loadavg");
  double load = -1;
  return loadavg >> load ? load : -1;
}

double KernelCpuSeconds(const std::string& pid) {
  return StatLineCpuSeconds(
      FileText(testkit::RunningUnderWine() ? "Z:\\proc\\" + pid + "\\stat" : "/proc/" + pid + "/stat"));
}

ThreadTimes ReadThreadTimes() {
  ThreadTimes times;
#ifdef _WIN32
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return times;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  const DWORD self = GetCurrentProcessId();
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != self) continue;
    HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
    if (thread == nullptr) continue;
    FILETIME creation, exit, kernel, user;
    if (GetThreadTimes(thread, &creation, &exit, &kernel, &user))
      times[entry.th32ThreadID] = ThreadTime{ThreadDescription(thread), Seconds(kernel) + Seconds(user)};
    CloseHandle(thread);
  }
  CloseHandle(snapshot);
#else
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return times;
  while (const dirent* task = readdir(tasks)) {
    if (task->d_name[0] < '0' || task->d_name[0] > '9') continue;
    const std::string dir = std::string("/proc/self/task/") + task->d_name;
    const double seconds = StatLineCpuSeconds(FileText(dir + "/stat"));
    if (seconds < 0) continue;  // ended meanwhile
    std::string name = FileText(dir + "/comm");
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
    times[std::strtoul(task->d_name, nullptr, 10)] = ThreadTime{name, seconds};
  }
  closedir(tasks);
#endif
  return times;
}

std::map<std::string, NamedCpu> CpuByThreadName(const ThreadTimes& before, const ThreadTimes& after) {
  std::map<std::string, NamedCpu> named;
  for (const auto& [id, thread] : after) {
    const auto earlier = before.find(id);
    // A thread id reused by a new thread of another name starts from zero too.
    const double start = earlier != before.end() && earlier->second.name == thread.name ? earlier->second.seconds : 0;
    NamedCpu& entry = named[thread.name.empty() ? "(unnamed)" : thread.name];
    entry.seconds += thread.seconds - start;
    entry.threads += 1;
  }
  return named;
}

}  // namespace bench
