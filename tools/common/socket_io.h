#pragma once
#include <cstddef>
#include <string>

#include "sim_socket.h"

// Waits, reads and writes on a connected socket, bounded in time so no peer holds a thread for ever.
namespace simsock {

// True when the socket is readable (or closed) within timeoutMs.
bool WaitReadable(SocketHandle socket, int timeoutMs);
// True when the socket is writable (a connection under way is made or failed) within timeoutMs.
bool WaitWritable(SocketHandle socket, int timeoutMs);
// Which of two sockets are readable within timeoutMs (false when neither, or on error).
bool WaitEitherReadable(SocketHandle a, SocketHandle b, int timeoutMs, bool* aReady, bool* bReady);

// One recv: bytes read, 0 at the end of the stream, -1 on error.
int ReceiveSome(SocketHandle socket, char* buffer, size_t size);
// Exactly size bytes; false at the end of the stream, on error, or when the peer is silent for
// idleMs (idleMs < 0: no limit, for the wait between messages).
bool ReadExact(SocketHandle socket, void* buffer, size_t size, int idleMs);
// One line ("\n"-ended, the "\n" and a "\r" before it removed) within timeoutMs and maxBytes.
bool ReadLine(SocketHandle socket, int timeoutMs, size_t maxBytes, std::string* line);
// Everything until the peer closes, within timeoutMs and maxBytes.
bool ReadToEnd(SocketHandle socket, int timeoutMs, size_t maxBytes, std::string* text);

// Sends everything or fails; never raises SIGPIPE.
bool SendAll(SocketHandle socket, const void* data, size_t size);
// Stops sending (the peer reads the end of the stream) while still receiving.
void ShutdownSend(SocketHandle socket);
// Bounds a blocking send, so a peer that stops reading cannot hold a thread for ever.
void SetSendTimeout(SocketHandle socket, int timeoutMs);

}  // namespace simsock
