#include "transport/tcp_transport.h"

#include <algorithm>
#include <chrono>

#include "common/engine_thread.h"
#include "common/error_log.h"
#include "common/trace.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/system_thread.h"
#include "platform/wait_time.h"
#include "protocol/read_ahead_source.h"
#include "protocol/receive_loop.h"
#include "protocol/wire_header.h"

namespace kavex {

namespace {

constexpr int kConnectLimitMs = 4000;
constexpr int kSendWritableLimitMs = 4000;
// Waits for writability (a connect in progress, a full send buffer) look at the open flag this
// often, so letting go of a transport does not wait out the whole 4 s limit.
constexpr int kWaitSliceMs = 100;
constexpr auto kZeroSendRetryDelay = std::chrono::milliseconds(100);
constexpr const char* kTraceComponent = "transport";

}  // namespace

std::atomic<uint8_t> TcpTransport::lastSentType_{0};

// The receive loop's view of the socket. Runs on the receive thread only.
class TcpTransport::SocketSource final : public ByteSource {
 public:
  explicit SocketSource(platform::StreamSocket& socket) : socket_(socket) {}

  Wait WaitReadable(int timeoutMs) override {
    const platform::SocketWait waited = socket_.WaitReadable(timeoutMs);
    Wait result;
    switch (waited.status) {
      case platform::SocketWait::Status::kReady:
        result.status = Wait::Status::kReadable;
        break;
      case platform::SocketWait::Status::kTimeout:
        result.status = Wait::Status::kNothing;
        break;
      case platform::SocketWait::Status::kError:
        result.status = Wait::Status::kError;
        result.error = waited.error;
        result.interrupted = waited.interrupted;
        break;
    }
    return result;
  }

  Received Receive(uint8_t* into, size_t wanted) override {
    const long n = socket_.Receive(into, wanted);
    Received result;
    if (n > 0) {
      result.status = Received::Status::kData;
      result.count = static_cast<size_t>(n);
    } else if (n < 0 && platform::IsWouldBlock(platform::LastSocketError())) {
      // Readable a moment ago but nothing to take: not an end, look again.
      result.status = Received::Status::kNothing;
    } else {
      result.status = Received::Status::kEnded;
    }
    return result;
  }

 private:
  platform::StreamSocket& socket_;
};

TcpTransport::TcpTransport(TransportListener& owner, double silenceTimeoutSeconds, std::string threadName, Clock& clock)
    : owner_(owner), silenceTimeoutSeconds_(silenceTimeoutSeconds), clock_(clock), threadName_(std::move(threadName)) {}

TcpTransport::~TcpTransport() { receiver_.Release(); }

void TcpTransport::Stop() { receiver_.Stop(); }

bool TcpTransport::Start(const SocketAddress& peer, const PhoneId* id) {
  std::lock_guard<platform::Mutex> lock(receiver_.startMutex());
  // Checked first: the address and identifier of a running transport are read by other threads.
  if (started_ || receiver_.stopped()) return false;
  peer_ = peer;
  if (id != nullptr) phoneId_ = *id;

  platform::StreamSocket socket = platform::StreamSocket::Create(peer.family);
  if (!socket.valid()) {
    ErrorLog::Record(error_codes::kSocketCreateFailed);
    KAVEX_TRACE_WARN(kTraceComponent, "no socket for %s (error %d)", peer.ToString().c_str(),
                     platform::LastSocketError());
    return false;
  }
  if (!socket.SetNoDelay() || !socket.SetNonBlocking()) {
    ErrorLog::Record(error_codes::kSocketOptionsFailed);
    return false;  // the socket closes as it goes out of scope
  }
  {
    std::lock_guard<platform::Mutex> lock(sendMutex_);
    socket_ = std::move(socket);
  }
  open_.store(true);
  if (!receiver_.Start(threadName_, [this] { RunReceiveThread(); })) {
    open_.store(false);
    std::lock_guard<platform::Mutex> lock(sendMutex_);
    socket_.Close();
    return false;
  }
  started_ = true;
  return true;
}

TcpTransport::Writable TcpTransport::WaitWritableWhileOpen(int limitMs) {
  const double deadline = clock_.Now() + limitMs / 1000.0;
  for (;;) {
    if (!open_.load() || socketGone_.load()) return Writable::kLetGo;
    const double remaining = deadline - clock_.Now();
    if (remaining <= 0.0) return Writable::kNo;
    // Saturated: a clock that steps back must not make the wait negative, which polls read as forever.
    const int sliceMs = std::min(kWaitSliceMs - 1, platform::WaitMsOfSeconds(remaining)) + 1;
    const platform::SocketWait waited = socket_.WaitWritable(sliceMs);
    if (waited.status == platform::SocketWait::Status::kError) return Writable::kNo;
    if (waited.status == platform::SocketWait::Status::kReady) return Writable::kYes;
  }
}

bool TcpTransport::ConnectSocket() {
  switch (socket_.Connect(peer_)) {
    case platform::ConnectStatus::kConnected:
      return true;
    case platform::ConnectStatus::kFailed:
      KAVEX_TRACE_WARN(kTraceComponent, "connect to %s failed (error %d)", peer_.ToString().c_str(),
                       platform::LastSocketError());
      return false;
    case platform::ConnectStatus::kInProgress:
      break;
  }
  const Writable writable = WaitWritableWhileOpen(kConnectLimitMs);
  if (writable != Writable::kYes) {
    KAVEX_TRACE_WARN(kTraceComponent, "connect to %s %s", peer_.ToString().c_str(),
                     writable == Writable::kLetGo ? "abandoned: let go meanwhile" : "failed: no answer within 4 s");
    return false;
  }
  int pending = 0;
  const bool connected = socket_.PendingError(&pending) && pending == 0;
  if (!connected)
    KAVEX_TRACE_WARN(kTraceComponent, "connect to %s failed (error %d)", peer_.ToString().c_str(), pending);
  return connected;
}

void TcpTransport::RunReceiveThread() {
  ReceiveOutcome outcome = ReceiveOutcome::kFailed;
  try {
    outcome = ConnectAndReceive();
  } catch (...) {
    // Out of memory in a handler: this connection ends as failed; the host process goes on.
    ErrorLog::Record(error_codes::kReceiveThrew);
    KAVEX_TRACE_ERROR(kTraceComponent, "receive thread threw; the connection ends as failed");
    outcome = ReceiveOutcome::kFailed;
  }
  {
    std::lock_guard<platform::Mutex> lock(sendMutex_);
    socket_.Close();
    socketGone_.store(true);
  }
  // The socket is closed before the owner hears of the end, so a send made from the callback fails
  // at once, and an owner that destroys the transport from the callback leaves nothing to do here.
  const bool reportEnd = open_.exchange(false);
  KAVEX_TRACE_INFO(kTraceComponent, "connection to %s ended: %s", peer_.ToString().c_str(),
                   !reportEnd                           ? "let go by the engine"
                   : outcome == ReceiveOutcome::kClosed ? "closed"
                                                        : "failed");
  if (!reportEnd) return;
  if (outcome == ReceiveOutcome::kClosed)
    owner_.OnClosed(*this);
  else
    owner_.OnFailed(*this);
}

ReceiveOutcome TcpTransport::ConnectAndReceive() {
  ReceiveOutcome outcome = ReceiveOutcome::kFailed;
  KAVEX_TRACE_INFO(kTraceComponent, "connecting to %s", peer_.ToString().c_str());
  if (ConnectSocket()) {
    KAVEX_TRACE_INFO(kTraceComponent, "connected to %s", peer_.ToString().c_str());
    sendFailed_.store(false);
    SocketSource socketSource(socket_);
    ReadAheadSource source(socketSource);
    ReceiveLoopState state;
    state.open = &open_;
    state.streamClosed = &socketGone_;
    state.sendFailed = &sendFailed_;
    state.silenceTimeoutSeconds = silenceTimeoutSeconds_;
    state.clock = &clock_;
    ReceiveLoopRecords records;  // "so." with 202 / 210 / 229
    records.lastSentType = &lastSentType_;
    outcome = RunReceiveLoop(source, state, records, *this, owner_);
  }
  return outcome;
}

bool TcpTransport::Send(const uint8_t* data, size_t length) {
  std::lock_guard<platform::Mutex> lock(sendMutex_);
  if (!socket_.valid() || socketGone_.load() || !open_.load() || sendFailed_.load()) return false;
  if (length >= WireHeader::kSize) lastSentType_.store(data[3]);

  while (length > 0 && open_.load()) {
    const long n = socket_.Send(data, length);
    if (n < 0) {
      // Let go meanwhile: the loop ends and the rest of the message is dropped.
      if (platform::IsWouldBlock(platform::LastSocketError()) &&
          WaitWritableWhileOpen(kSendWritableLimitMs) != Writable::kNo)
        continue;
      KAVEX_TRACE_WARN(kTraceComponent, "send of %zu bytes to %s failed (error %d)", length, peer_.ToString().c_str(),
                       platform::LastSocketError());
      sendFailed_.store(true);
      return false;
    }
    if (n == 0) {
      ErrorLog::Record(error_codes::kSendReturnedZero);
      platform::SleepFor(kZeroSendRetryDelay);
      continue;
    }
    if (static_cast<size_t>(n) > length) {
      ErrorLog::Record(error_codes::kSendReturnedTooMuch);
      sendFailed_.store(true);
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

void TcpTransport::Close() {
  std::lock_guard<platform::Mutex> lock(sendMutex_);
  socket_.Shutdown();
  socketGone_.store(true);
}

}  // namespace kavex
