#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kavex::platform {

// Where the developer trace goes: a text file opened for appending (other processes may write to
// it too), or the debugger. Each line leaves in one system call, so lines of several threads or
// processes never interleave, and nothing here waits for a reader: a line that cannot leave at
// once is dropped.

// Thread: any, once opened; the trace serialises its writes anyway. Closed when the object goes.
class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile() { Close(); }
  AppendFile(AppendFile&& other) noexcept : handle_(other.handle_) { other.handle_ = kInvalid; }
  AppendFile& operator=(AppendFile&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.handle_;
      other.handle_ = kInvalid;
    }
    return *this;
  }
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens (creating) path for appending; not valid() when it cannot be opened, or when opening
  // would wait (a pipe nobody reads).
  static AppendFile Open(const std::string& path);

  bool valid() const { return handle_ != kInvalid; }
  // Appends data in one write; false when it did not all go.
  bool Append(const char* data, size_t length);

 private:
  static constexpr intptr_t kInvalid = -1;  // a closed descriptor, INVALID_HANDLE_VALUE

  void Close();

  intptr_t handle_ = kInvalid;  // a file descriptor or a HANDLE
};

// Hands one NUL-terminated line to the debugger: OutputDebugStringA on Windows, standard error
// elsewhere (dropped when standard error would block).
// Thread: any.
void WriteToDebugger(const char* line, size_t length);

}  // namespace kavex::platform
