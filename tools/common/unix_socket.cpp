#include "unix_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace simsock {

namespace {

bool MakeUnixAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  if (path.empty() || path.size() >= sizeof address->sun_path) return false;
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, path.c_str(), path.size());
  return true;
}

// True when something accepts connections on the path.
bool UnixSocketAnswers(const std::string& path) {
  sockaddr_un address;
  if (!MakeUnixAddress(path, &address)) return false;
  Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return socket.Valid() && ::connect(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

}  // namespace

Socket ListenUnix(const std::string& path, std::string* error) {
  sockaddr_un address;
  if (!MakeUnixAddress(path, &address)) {
    *error = "unusable socket path: " + path;
    return Socket();
  }
  struct stat info;
  if (::lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      *error = path + " exists and is not a socket";
      return Socket();
    }
    if (UnixSocketAnswers(path)) {
      *error = "a service already answers on " + path;
      return Socket();
    }
    ::unlink(path.c_str());
  }
  Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.Valid() || ::bind(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(socket.Get(), 64) != 0) {
    *error = "cannot listen on " + path + ": " + LastSocketError();
    return Socket();
  }
  // Any local user may talk to the service, as to the real one.
  ::chmod(path.c_str(), 0666);
  return socket;
}

}  // namespace simsock
