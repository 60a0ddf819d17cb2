#include "platform/child_process.h"

#include <windows.h>

#include <vector>

namespace kavex::platform {

namespace {

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

}  // namespace

ProgramRun RunProgram(const std::string& name, const std::string& arguments, bool waitForOutput,
                      const std::atomic<bool>& running) {
  ProgramRun run;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle readEnd, writeEnd;
  if (!CreatePipe(&readEnd.value, &writeEnd.value, &inherit, 0)) {
    run.failure = ProgramRun::Failure::kPipe;
    return run;
  }
  // Only the child's end is inherited.
  SetHandleInformation(readEnd.value, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = writeEnd.value;
  startup.hStdError = writeEnd.value;
  PROCESS_INFORMATION process{};
  // CreateProcessA may write into the command line: it gets a buffer of its own.
  const std::string text = name + ".exe " + arguments;
  std::vector<char> commandLine(text.begin(), text.end());
  commandLine.push_back('\0');
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
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
        if (WaitForSingleObject(processHandle.value, 0) == WAIT_OBJECT_0 &&
            Available(readEnd.value, &broken) == 0)
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
  WaitForSingleObject(processHandle.value, 5000);
  return run;
}

}  // namespace kavex::platform
