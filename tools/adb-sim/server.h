#pragma once
#include <cstdint>

namespace adbsim {

// The background server: a detached process of this program that owns the forwards and answers
// the commands on 127.0.0.1:port, one request per connection, until "kill". Runs on: the server
// process's main thread; forwards run threads of their own. Returns the process's exit code.
//
// Requests (one line) and replies (until the server closes the connection):
//   ping                          OKAY
//   forward SERIAL LOCAL DEVICE   OKAY | FAIL reason
//   list-forward                  OKAY, then "serial tcp:L tcp:R" lines
//   kill                          OKAY, then the server ends its forwards and exits
int RunServer(uint16_t port);

}  // namespace adbsim
