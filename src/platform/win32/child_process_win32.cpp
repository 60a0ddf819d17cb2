#include "platform/child_process.h"

#include <windows.h>

#include <string>
#include <vector>

namespace kavex::platform {

namespace {

// How long a program gets to end by itself after its output, and then, told to end, to be gone.
constexpr DWORD kExitWaitMs = 5000;
constexpr DWORD kExitLookMs = 100;  // how often the exit wait looks at the caller's flag
constexpr DWORD kEndWaitMs = 1000;

struct Handle {
  HANDLE value = nullptr;
  ~Handle() {
    if (value != nullptr && value != INVALID_HANDLE_VALUE) CloseHandle(value);
  }
  void Close() {
    if (value != nullptr && value != INVALID_HANDLE_VALUE) CloseHandle(value);
    value = nullptr;
  }
};

DWORD Available(HANDLE pipe, bool* broken) {
  DWORD available = 0;
  *broken = !PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr);
  return *broken ? 0 : available;
}

std::string FolderOf(const std::string& file) {
  const size_t slash = file.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : file.substr(0, slash);
}

// A folder given whole: a drive and its root, or a share. A relative one ("." or "bin") would be
// taken from the current folder, the place a command must never come from.
bool Absolute(const std::string& folder) {
  if (folder.size() >= 3 && folder[1] == ':' && (folder[2] == '\\' || folder[2] == '/')) return true;
  return folder.size() >= 2 && (folder[0] == '\\' || folder[0] == '/') && folder[0] == folder[1];
}

bool IsFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string SystemFolder(UINT(WINAPI* get)(LPSTR, UINT)) {
  char folder[MAX_PATH] = {};
  const UINT length = get(folder, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::string(folder, length) : std::string();
}

// "name.exe" where the system would look for a command without a path, less the current folder:
// the host program's folder (where a bridge shipped with the host sits), the system folders, then
// the folders of the PATH in order. Empty when it is in none of them.
std::string FindProgram(const std::string& name) {
  const std::string file = name + ".exe";
  std::vector<std::string> folders;
  std::vector<char> host(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameA(nullptr, host.data(), static_cast<DWORD>(host.size()));
    if (length == 0) break;
    if (length < host.size()) {
      folders.push_back(FolderOf(std::string(host.data(), length)));
      break;
    }
    if (host.size() >= 32768) break;
    host.resize(host.size() * 2);
  }
  folders.push_back(SystemFolder(&GetSystemDirectoryA));
  folders.push_back(SystemFolder(&GetWindowsDirectoryA));
  const DWORD size = GetEnvironmentVariableA("PATH", nullptr, 0);
  if (size > 0) {
    std::vector<char> path(size);
    const DWORD length = GetEnvironmentVariableA("PATH", path.data(), size);
    if (length > 0 && length < size) {
      const std::string list(path.data(), length);
      for (size_t start = 0; start <= list.size();) {
        size_t end = list.find(';', start);
        if (end == std::string::npos) end = list.size();
        std::string folder = list.substr(start, end - start);
        if (folder.size() >= 2 && folder.front() == '"' && folder.back() == '"')
          folder = folder.substr(1, folder.size() - 2);
        folders.push_back(std::move(folder));
        start = end + 1;
      }
    }
  }
  for (std::string& folder : folders) {
    if (!Absolute(folder)) continue;
    while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
    const bool root = folder.back() == '\\' || folder.back() == '/';
    std::string candidate = folder;
    if (!root) candidate += '\\';
    candidate += file;
    if (IsFile(candidate)) return candidate;
  }
  return std::string();
}

// The list of handles a child inherits: only the one given, however many more the host made
// inheritable. Null when the system offers no such list.
class InheritOnly {
 public:
  explicit InheritOnly(HANDLE handle) : handle_(handle) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (size == 0) return;
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &handle_, sizeof handle_, nullptr,
                                   nullptr)) {
      DeleteProcThreadAttributeList(list);
      return;
    }
    list_ = list;
  }
  ~InheritOnly() {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
  }
  InheritOnly(const InheritOnly&) = delete;
  InheritOnly& operator=(const InheritOnly&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST list() const { return list_; }

 private:
  HANDLE handle_;  // the list points at this member
  std::vector<unsigned char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

}  // namespace

ProgramRun RunProgram(const std::string& name, const std::string& arguments, bool waitForOutput,
                      const std::atomic<bool>& running) {
  const bool startedRunning = running.load();
  ProgramRun run;
  const std::string program = FindProgram(name);
  if (program.empty()) {
    run.failure = ProgramRun::Failure::kStart;
    run.systemError = ERROR_FILE_NOT_FOUND;
    run.notFound = true;
    return run;
  }
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle readEnd, writeEnd;
  if (!CreatePipe(&readEnd.value, &writeEnd.value, &inherit, 0)) {
    run.failure = ProgramRun::Failure::kPipe;
    return run;
  }
  // Only the child's end is inherited.
  SetHandleInformation(readEnd.value, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = nullptr;
  startup.StartupInfo.hStdOutput = writeEnd.value;
  startup.StartupInfo.hStdError = writeEnd.value;
  const InheritOnly inheritOnly(writeEnd.value);
  startup.lpAttributeList = inheritOnly.list();
  PROCESS_INFORMATION process{};
  // CreateProcessA may write into the command line: it gets a buffer of its own. The program is
  // named by its full path; the command line keeps the plain name the program has always seen.
  const std::string text = name + ".exe " + arguments;
  std::vector<char> commandLine(text.begin(), text.end());
  commandLine.push_back('\0');
  const auto start = [&](bool onlyThePipe) {
    const DWORD flags = CREATE_NO_WINDOW | (onlyThePipe ? EXTENDED_STARTUPINFO_PRESENT : 0);
    startup.StartupInfo.cb = onlyThePipe ? sizeof startup : sizeof startup.StartupInfo;
    return CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                          &startup.StartupInfo, &process) != 0;
  };
  bool started = false;
  bool refused = inheritOnly.list() == nullptr;
  if (!refused) {
    started = start(true);
    const DWORD error = started ? ERROR_SUCCESS : GetLastError();
    refused = error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED;
  }
  if (refused) {
    // A system without the handle list: the program gets every inheritable handle, as it always
    // did there, rather than no bridge at all; the caller is told.
    run.inheritedEverything = true;
    started = start(false);
  }
  if (!started) {
    run.failure = ProgramRun::Failure::kStart;
    run.systemError = GetLastError();
    run.notFound = run.systemError == ERROR_FILE_NOT_FOUND || run.systemError == ERROR_PATH_NOT_FOUND;
    return run;
  }
  Handle processHandle{process.hProcess}, threadHandle{process.hThread};
  writeEnd.Close();

  if (waitForOutput) {
    bool broken = false;
    bool any = false;
    for (int look = 0; look < 300 && running.load() && !any && !broken; ++look) {
      any = Available(readEnd.value, &broken) > 0;
      if (!any) Sleep(20);
    }
    // Read what is there without ever blocking in a read: a server the program started may hold
    // the pipe open after the program itself has ended.
    const ULONGLONG deadline = GetTickCount64() + 10000;
    char chunk[2000];
    while (any && running.load() && run.output.size() < kMaxOutputBytes && GetTickCount64() < deadline) {
      const DWORD available = Available(readEnd.value, &broken);
      if (broken) break;
      if (available == 0) {
        if (WaitForSingleObject(processHandle.value, 0) == WAIT_OBJECT_0 && Available(readEnd.value, &broken) == 0)
          break;
        Sleep(20);
        continue;
      }
      DWORD read = 0;
      const DWORD wanted = available < sizeof chunk ? available : static_cast<DWORD>(sizeof chunk);
      if (!ReadFile(readEnd.value, chunk, wanted, &read, nullptr) || read == 0) break;
      run.output.append(chunk, read);
    }
  }
  // A command stuck on a hung server (or on whatever holds the server's port) is ended here, or
  // every pass would leave one more behind. Only this process: the server it may have started is
  // a process of its own.
  // A caller that stops meanwhile (the engine's thread told to end) does not wait for the command;
  // one that was already stopped when it started it (the bridge's kill-server at the end) does.
  bool ended = false;
  for (DWORD waited = 0; waited < kExitWaitMs && !ended; waited += kExitLookMs) {
    ended = WaitForSingleObject(processHandle.value, kExitLookMs) == WAIT_OBJECT_0;
    if (startedRunning && !running.load()) break;
  }
  if (!ended) {
    TerminateProcess(processHandle.value, 1);
    WaitForSingleObject(processHandle.value, kEndWaitMs);
  }
  return run;
}

}  // namespace kavex::platform
