#pragma once
#include <string>

#include "sim_socket.h"

// Unix domain sockets (POSIX builds only), for a service that listens where its real one does.
namespace simsock {

// A listener on a unix socket path that any local user may reach; a stale socket file left there
// is replaced, a live one is not.
Socket ListenUnix(const std::string& path, std::string* error);

}  // namespace simsock
