#include "detached_process.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#endif

namespace adbsim {

#ifdef _WIN32

bool StartDetachedSelf(const std::vector<std::string>& args, std::string* error) {
  char path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    *error = "cannot find own path";
    return false;
  }
  std::string commandLine = std::string("\"") + path + "\"";
  for (const auto& arg : args) commandLine += " " + arg;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // No handle inheritance: the caller's pipe stays with the caller.
  if (!::CreateProcessA(path, &commandLine[0], nullptr, nullptr, FALSE, DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP,
                        nullptr, nullptr, &startup, &process)) {
    *error = "CreateProcess failed: " + std::to_string(::GetLastError());
    return false;
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return true;
}

#else

bool StartDetachedSelf(const std::vector<std::string>& args, std::string* error) {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) {
    *error = std::string("cannot find own path: ") + std::strerror(errno);
    return false;
  }
  path[length] = '\0';
  // The server's error stream: normally nowhere; a test may keep it (sanitizer reports) in a file.
  const char* log = std::getenv(kServerLogVariable);
  const std::string errorPath = log != nullptr && *log != '\0' ? log : "/dev/null";
  std::vector<char*> argv;
  argv.push_back(path);
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  const pid_t child = ::fork();
  if (child < 0) {
    *error = std::string("fork failed: ") + std::strerror(errno);
    return false;
  }
  if (child == 0) {
    // Only async-signal-safe calls from here to exec.
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
    }
    const int errors = ::open(errorPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (errors >= 0) ::dup2(errors, 2);
    rlimit limit{};
    const int top =
        ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536 ? static_cast<int>(limit.rlim_cur) : 65536;
    for (int fd = 3; fd < top; ++fd) ::close(fd);
    ::execv(path, argv.data());
    ::_exit(127);
  }
  return true;
}

#endif

}  // namespace adbsim
