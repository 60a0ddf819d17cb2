#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "usbmux/usbmux_client_stream.h"
#include "usbmux/usbmux_protocol.h"

namespace kavex::usbmux {

// How long the service may take: to accept a connection, to answer a request (a Connect waits for
// the device's port), and to finish a message it has begun.
constexpr int kServiceConnectTimeoutMs = 2000;
constexpr int kReplyTimeoutMs = 10000;
constexpr int kMessageRestTimeoutMs = 5000;

struct Message {
  Header header;
  Reply reply;
};

// Reads one whole message: waits up to firstByteTimeoutMs (< 0: without limit) for it to begin and
// kMessageRestTimeoutMs for the rest, each no longer than the calling thread's wait limit
// (CallLimits). 0, or -ECONNRESET when the service closed before a message began, -EPROTO for a
// broken frame (a header this client does not speak, a message cut short), -EBADMSG for a body it
// cannot read (nested too deep included), -ETIMEDOUT, -ECANCELED once *stop or the calling
// thread's stop flag is set.
int ReadMessage(ServiceStream& stream, int firstByteTimeoutMs, const std::atomic<bool>* stop, Message* out);

// A tag for the next request: the service echoes it in the reply.
uint32_t NextTag();

// One request on a new connection to the service at the current address: build(tag) frames the
// request, the reply must carry the tag. 0 with *reply, or -errno (-EINVAL for a service address
// the variable names badly, -ECANCELED once the calling thread's stop flag is set). With keep, the
// connection is handed over (a Connect's device stream). Every wait is one of the bounds above,
// shortened to the calling thread's wait limit (CallLimits).
int Exchange(const std::function<std::vector<uint8_t>(uint32_t tag)>& build, Reply* reply,
             std::unique_ptr<ServiceStream>* keep = nullptr);

// The errno value of a Result number other than 0; notFound is what "no such device or record"
// means to the request.
int ErrnoOfResult(uint32_t number, int notFound);

}  // namespace kavex::usbmux
