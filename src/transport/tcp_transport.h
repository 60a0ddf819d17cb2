#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "protocol/phone_connection.h"
#include "protocol/receive_loop.h"
#include "transport/receive_thread.h"
#include "transport/session_transport.h"

namespace kavex {

// A phone connection over TCP: to a phone on the network, or to the local end of an Android bridge
// forward.
//
// Threads:
// - the caller of Start (the owner's worker thread) creates the socket and starts the receive thread;
// - the receive thread connects (non-blocking, at most 4 s), runs the receive loop, closes the
//   socket, and alone calls the owner back: OnConnected and OnPacket through the loop, then one of
//   OnClosed / OnFailed when the connection ends by itself;
// - Send runs on any thread (host threads, the receive thread's replies, the worker's requests) and
//   is serialised by the send mutex, so every message leaves whole;
// - Stop and the destructor (owner's thread) clear the open flag and join the receive thread, which
//   then ends within one 100 ms poll and calls the owner back no more.
//
// Owns the socket and the receive thread. The socket is closed only by the receive thread (under the
// send mutex) or by the destructor of a transport whose thread never ran: Close merely shuts the
// stream down, so the receive thread never waits on a descriptor number that was reused meanwhile.
// The receive loop owns its message buffer.
class TcpTransport final : public SessionTransport {
 public:
  // silenceTimeoutSeconds: the connection ends (closed) after that long without a complete message;
  // 0 or less disables the limit.
  // threadName: what the receive thread is called, for debuggers and process viewers.
  // clock: what the silence limit and the connect and send limits are measured on; it must outlive
  // the transport.
  TcpTransport(TransportListener& owner, double silenceTimeoutSeconds, std::string threadName = "kavex-recv",
               Clock& clock = EngineClock::AsClock());
  ~TcpTransport() override;
  TcpTransport(const TcpTransport&) = delete;
  TcpTransport& operator=(const TcpTransport&) = delete;

  // Creates the socket and starts the receive thread, which connects. False (and no callback) when
  // the socket cannot be set up, or the transport was started or stopped before: a transport is
  // never restarted.
  bool Start(const SocketAddress& peer, const PhoneId* id);
  // Ends the connection without calling the owner back (once it returns, no callback runs or will
  // run) and makes every later Send fail. For owners that let go of a connection other threads may
  // still hold for a send. Called from one of the owner's callbacks, it only clears the open flag
  // (the receive thread ends after that callback) and a later Stop or the destructor joins the
  // thread. Idempotent.
  //
  // The owner may drop its last reference (run the destructor) inside OnClosed / OnFailed, but not
  // inside OnConnected / OnPacket: the receive loop still uses the transport after those return.
  void Stop() override;

  bool Send(const uint8_t* data, size_t length) override;
  // Shuts the stream down; the receive thread then ends the connection as closed.
  void Close() override;
  const PhoneId& phoneId() const override { return phoneId_; }
  bool overUsb() const override { return false; }
  const SocketAddress& peerAddress() const override { return peer_; }

  // The type byte of the last message any TcpTransport sent; only for diagnostics.
  static uint8_t LastSentType() { return lastSentType_.load(); }

 private:
  class SocketSource;

  enum class Writable { kYes, kNo, kLetGo };

  void RunReceiveThread();
  ReceiveOutcome ConnectAndReceive();
  bool ConnectSocket();
  // Waits up to limitMs for the socket to take bytes; kLetGo once the open flag is cleared or the
  // stream closed.
  Writable WaitWritableWhileOpen(int limitMs);

  static std::atomic<uint8_t> lastSentType_;

  TransportListener& owner_;
  const double silenceTimeoutSeconds_;
  Clock& clock_;
  const std::string threadName_;
  PhoneId phoneId_;
  SocketAddress peer_;
  bool started_ = false;  // under the receiver's start mutex

  platform::Mutex sendMutex_;
  // Replaced or closed only under sendMutex_, and once started only by the receive thread, which
  // therefore waits and reads on it without the lock.
  platform::StreamSocket socket_;
  std::atomic<bool> socketGone_{false};  // closed (or shut down by Close): no more sending
  std::atomic<bool> open_{false};        // set by Start; cleared by Stop, the destructor, the end
  std::atomic<bool> sendFailed_{false};  // the error flag: set by a failed send
  // Start against Stop: the fields Start writes change under its start mutex.
  ReceiveThread receiver_{open_};
};

}  // namespace kavex
