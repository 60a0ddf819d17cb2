#pragma once
#include <atomic>

#include "sim_socket.h"

namespace adbsim {

// Copies bytes both ways between two connected sockets until both directions have ended, either
// side fails, or stop is set (looked at every 200 ms). An end of stream on one side is passed on
// as a half close, so a peer that sends its block and closes (the phone's probe port) is seen
// closing through the forward too. Runs on the calling thread.
void ProxyBothWays(simsock::SocketHandle local, simsock::SocketHandle device, const std::atomic<bool>& stop);

}  // namespace adbsim
