#include "platform/trace_output.h"

#include <windows.h>

namespace kavex::platform {

namespace {

// The file's handle, kept as a number so that the seam's header needs no Windows types.
HANDLE HandleOf(intptr_t value) { return reinterpret_cast<HANDLE>(value); }  // NOLINT(performance-no-int-to-ptr)

}  // namespace

AppendFile AppendFile::Open(const std::string& path) {
  AppendFile file;
  // Append access alone: the system places every write at the end, also with other writers, and
  // the file stays readable, writable and deletable by everyone else meanwhile.
  HANDLE handle = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle != INVALID_HANDLE_VALUE) file.handle_ = reinterpret_cast<intptr_t>(handle);
  return file;
}

bool AppendFile::Append(const char* data, size_t length) {
  if (!valid()) return false;
  DWORD written = 0;
  return WriteFile(HandleOf(handle_), data, static_cast<DWORD>(length), &written, nullptr) != 0 && written == length;
}

void AppendFile::Close() {
  if (!valid()) return;
  CloseHandle(HandleOf(handle_));
  handle_ = kInvalid;
}

void WriteToDebugger(const char* line, size_t /*length*/) { OutputDebugStringA(line); }

}  // namespace kavex::platform
