#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "usbmux/usbmux_client_address.h"

namespace kavex::usbmux {

// One connection to the service (its unix socket or TCP), non-blocking, every result a 0 or a
// count, or a negative errno value. After a successful Connect request it is the device port's
// byte stream.
// Thread: the opener owns it; once it is a device stream, one thread may send while others wait and
// receive (the handle table keeps it alive for them).
class ServiceStream {
 public:
  virtual ~ServiceStream() = default;
  // 0 when readable (also at the end or on an error: the next Receive tells), -ETIMEDOUT, -errno.
  // timeoutMs < 0 waits without limit.
  virtual int WaitReadable(int timeoutMs) = 0;
  virtual int WaitWritable(int timeoutMs) = 0;
  // Bytes moved (0 from Receive: the peer closed), -EWOULDBLOCK when nothing can move now, -errno.
  virtual long Send(const uint8_t* data, size_t length) = 0;
  virtual long Receive(uint8_t* into, size_t capacity) = 0;
  // Ends both directions; a waiting reader wakes.
  virtual void Shutdown() = 0;
};

using Deadline = std::chrono::steady_clock::time_point;

// Every wait below is made in slices of at most this, so that it sees a stop in time: the calling
// thread's (CallLimits, usbmux_call_limits.h) and the one the caller passes.
constexpr int kStopLookMs = 100;

// When a wait of timeoutMs (< 0: without limit) that starts now must end: no later than the
// calling thread's wait limit (CallLimits) allows. Deadline::max() stands for "never".
Deadline WaitDeadline(long long timeoutMs);

// Waits until the stream is readable (writable) or deadline. 0, -ETIMEDOUT, -ECANCELED once *stop
// or the calling thread's stop flag is set, -errno.
int WaitReadableUntil(ServiceStream& stream, Deadline deadline, const std::atomic<bool>* stop = nullptr);
int WaitWritableUntil(ServiceStream& stream, Deadline deadline, const std::atomic<bool>* stop = nullptr);

// Connects to the service at address; nothing, with *error (-errno), when it cannot. An endpoint
// that does not take the connection within connectTimeoutMs (the wait limit, if shorter) counts
// as refused: a TCP endpoint that does not answer, a unix socket whose backlog stays full.
// -ECANCELED once the calling thread's stop flag is set.
std::unique_ptr<ServiceStream> ConnectService(const ServiceAddress& address, int connectTimeoutMs, int* error);

// Sends all of data, waiting while the socket is full for at most stallTimeoutMs at a time (the
// wait limit, if shorter). 0, or -errno (-ETIMEDOUT for a peer that stopped reading, -ECANCELED
// once the calling thread's stop flag is set); *sent counts what went either way.
int SendAll(ServiceStream& stream, const uint8_t* data, size_t length, int stallTimeoutMs, size_t* sent);

// Reads exactly length bytes by deadline. 0, -ETIMEDOUT, -ECONNRESET when the peer closed first,
// -ECANCELED once *stop or the calling thread's stop flag is set, -errno.
int ReadExact(ServiceStream& stream, uint8_t* into, size_t length, Deadline deadline,
              const std::atomic<bool>* stop = nullptr);

}  // namespace kavex::usbmux
