#include "transport/usbmux_transport.h"

#include <cerrno>
#include <chrono>

#include "common/engine_thread.h"
#include "common/error_codes.h"
#include "common/error_log.h"
#include "common/trace.h"
#include "platform/sync.h"
#include "platform/system_thread.h"
#include "protocol/read_ahead_source.h"
#include "protocol/receive_loop.h"
#include "usbmux/usbmux_call_limits.h"
#include "usbmux/usbmuxd.h"

namespace kavex {

namespace {

constexpr unsigned kReceiveWaitMs = 100;
constexpr const char* kTraceComponent = "transport";

}  // namespace

// The receive loop's view of the stream. The service's receive call waits by itself, so the loop's
// own wait answers at once. Runs on the receive thread only.
class UsbmuxTransport::ServiceSource final : public ByteSource {
 public:
  explicit ServiceSource(int socket) : socket_(socket) {}

  Wait WaitReadable(int) override {
    Wait wait;
    wait.status = Wait::Status::kReadable;
    return wait;
  }

  Received Receive(uint8_t* into, size_t wanted) override {
    uint32_t got = 0;
    const int result = usbmuxd_recv_timeout(socket_, reinterpret_cast<char*>(into), static_cast<uint32_t>(wanted), &got,
                                            kReceiveWaitMs);
    Received received;
    if (got > 0 && got <= wanted) {
      received.status = Received::Status::kData;
      received.count = got;
    } else if (result == -ECONNRESET) {
      received.status = Received::Status::kEnded;  // the phone closed the stream
    } else {
      // A time-out, or an error the service's library reports without ending the stream: only the
      // silence limit ends the connection then. An error that comes back at once would otherwise
      // spin the loop for the whole limit.
      received.status = Received::Status::kNothing;
      if (result != 0 && result != -ETIMEDOUT) platform::SleepFor(std::chrono::milliseconds(kReceiveWaitMs));
    }
    return received;
  }

 private:
  const int socket_;
};

UsbmuxTransport::UsbmuxTransport(TransportListener& owner, uint32_t deviceHandle, bool overUsb, const PhoneId& id,
                                 std::string threadName, Clock& clock)
    : owner_(owner),
      clock_(clock),
      threadName_(std::move(threadName)),
      phoneId_(id),
      deviceHandle_(deviceHandle),
      overUsb_(overUsb) {}

UsbmuxTransport::~UsbmuxTransport() {
  letGo_.store(true);
  if (receiver_.Release()) return;
  // Opened, never started: the stream is still ours to close.
  const int socket = socket_.exchange(-1);
  if (socket >= 0) usbmuxd_disconnect(socket);
}

void UsbmuxTransport::Stop() {
  // Before the start mutex, which an Open holds while it waits on the service: the opening gives up
  // now, not when the service answers, and so does a send to a phone that takes nothing.
  letGo_.store(true);
  receiver_.Stop();
}

bool UsbmuxTransport::Open(uint16_t port) {
  std::lock_guard<platform::Mutex> lock(receiver_.startMutex());
  if (openTried_ || receiver_.stopped() || letGo_.load()) return false;
  openTried_ = true;
  KAVEX_TRACE_INFO(kTraceComponent, "connecting to device %u port %u through the multiplexing service", deviceHandle_,
                   port);
  int socket = -1;
  {
    const usbmux::CallLimits limits(&letGo_, kOpenWaitLimitMs);
    socket = usbmuxd_connect(deviceHandle_, port);
  }
  if (letGo_.load()) {
    // Stopped meanwhile: whatever the service answered, nobody wants the stream any more.
    if (socket >= 0) usbmuxd_disconnect(socket);
    KAVEX_TRACE_INFO(kTraceComponent, "connection to device %u abandoned: let go while the service opened it",
                     deviceHandle_);
    return false;
  }
  if (socket < 0) {
    KAVEX_TRACE_WARN(kTraceComponent, "the multiplexing service refused device %u port %u (%d)", deviceHandle_, port,
                     socket);
    return false;
  }
  socket_.store(socket);
  open_.store(true);
  return true;
}

bool UsbmuxTransport::StartReceiving() {
  std::lock_guard<platform::Mutex> lock(receiver_.startMutex());
  if (started_ || receiver_.stopped() || socket_.load() < 0) return false;
  if (!receiver_.Start(threadName_, [this] { RunReceiveThread(); })) {
    open_.store(false);
    usbmuxd_disconnect(socket_.exchange(-1));
    return false;
  }
  started_ = true;
  return true;
}

void UsbmuxTransport::RunReceiveThread() {
  try {
    ServiceSource serviceSource(socket_.load());
    ReadAheadSource source(serviceSource);
    ReceiveLoopState state;
    state.open = &open_;
    state.sendFailed = &sendFailed_;
    state.silenceTimeoutSeconds = kSilenceLimitSeconds;
    state.clock = &clock_;
    // Whatever way the loop ends (a failed send included) it is a close here: the owner hears
    // OnClosed or nothing, and reports a phone it never heard from as failed by itself. The phone
    // list scores a failure by the session's address, which a stream through the service lacks.
    RunReceiveLoop(source, state, ReceiveLoopRecords::Usbmux(), *this, owner_);
  } catch (...) {
    ErrorLog::Record(error_codes::kReceiveThrew);
    KAVEX_TRACE_ERROR(kTraceComponent, "receive thread threw; the connection ends");
  }
  // A send blocked on a phone that reads nothing gives up within 100 ms and must not hold up the
  // end (and with it the owner's Stop): the stream is closed with no lock held. A send that races
  // with it gets an error from the service's library, as the handle is gone.
  letGo_.store(true);
  const int socket = socket_.exchange(-1);
  if (socket >= 0) usbmuxd_disconnect(socket);
  const bool reportEnd = open_.exchange(false);
  KAVEX_TRACE_INFO(kTraceComponent, "connection to device %u ended: %s", deviceHandle_,
                   !reportEnd           ? "let go by the engine"
                   : sendFailed_.load() ? "closed after a failed send"
                                        : "closed");
  if (reportEnd) owner_.OnClosed(*this);
}

bool UsbmuxTransport::Send(const uint8_t* data, size_t length) {
  std::lock_guard<platform::Mutex> lock(sendMutex_);
  if (sendFailed_.load()) return false;
  // Host threads and the decoder's acknowledgements send: a phone that takes nothing holds them
  // no longer than the limit, and letting go of the transport frees them at once.
  const usbmux::CallLimits limits(&letGo_, kSendWaitLimitMs);
  while (length > 0) {
    const int socket = socket_.load();
    if (socket < 0 || !open_.load() || letGo_.load()) return false;
    uint32_t sent = 0;
    const uint32_t chunk = length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length);
    const int result = usbmuxd_send(socket, reinterpret_cast<const char*>(data), chunk, &sent);
    // The library sends what the socket takes at once: the rest goes in further calls, so that a
    // message is never cut short on the wire.
    if (result != 0 || sent == 0 || sent > chunk) {
      // Let go meanwhile: the connection ends anyway, and not through the phone.
      if (letGo_.load() || !open_.load()) return false;
      KAVEX_TRACE_WARN(kTraceComponent, "send of %zu bytes to device %u failed (%d); the connection ends", length,
                       deviceHandle_, result);
      // What part of the message went out has broken the stream's framing: the receive loop ends
      // the connection, as a TCP one ends after a failed send.
      sendFailed_.store(true);
      return false;
    }
    data += sent;
    length -= sent;
  }
  return true;
}

}  // namespace kavex
