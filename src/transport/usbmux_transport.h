#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/socket_address.h"
#include "platform/sync.h"
#include "transport/receive_thread.h"
#include "transport/session_transport.h"

namespace kavex {

// A phone connection through the USB multiplexing service: a stream to the phone's session port,
// opened by the service, on a cable or over the network as the service reaches the device.
//
// Threads:
// - Open and StartReceiving run on the owner's worker: the first asks the service for the stream (a
//   request to a local service, each of its waits at most kOpenWaitLimitMs, given up within 100 ms
//   once the transport is stopped), the second starts the receive thread;
// - the receive thread runs the receive loop over the service's receive call (100 ms waits, a fixed
//   5 s silence limit), closes the stream, and alone calls the owner back: OnConnected and OnPacket
//   through the loop, then OnClosed when the connection ends by itself. It never reports OnFailed:
//   whatever ends the stream (the phone closing it, silence, an oversized or impossible header, a
//   send that failed) is a close, and the owner tells a phone never heard from by itself;
// - Send runs on any thread, serialised by the send mutex so every message leaves whole; a phone
//   that takes nothing holds it at most kSendWaitLimitMs, and a failed send ends the connection
//   (the loop first hands over, for a quarter second, what had arrived);
// - Stop and the destructor let go of the service's calls (an Open or a send under way gives up),
//   clear the open flag and join the receive thread, which then ends within one 100 ms wait
//   without calling the owner.
//
// Owns the service connection (closed by the receive thread, or by StartReceiving and the
// destructor when no thread ran) and the receive thread; the receive loop owns its 4,000,000-byte buffer.
class UsbmuxTransport final : public SessionTransport {
 public:
  static constexpr uint16_t kSessionPort = 4699;
  static constexpr double kSilenceLimitSeconds = 5.0;
  // The longest a wait of the service's calls may last: connecting to the service and its answer
  // while the stream is asked for (on the worker, which a camera's teardown waits for), and a
  // phone that takes nothing (on host threads: focus, formats; and the decoder's acknowledgements).
  // As long as a TCP connection's connect and send may wait.
  static constexpr int kOpenWaitLimitMs = 4000;
  static constexpr int kSendWaitLimitMs = 4000;

  // The phone's identity is the transport's from the start: an owner that lets go of the transport
  // while it opens must know which phone it frees.
  UsbmuxTransport(TransportListener& owner, uint32_t deviceHandle, bool overUsb, const PhoneId& id,
                  std::string threadName = "kavex-recv", Clock& clock = EngineClock::AsClock());
  ~UsbmuxTransport() override;
  UsbmuxTransport(const UsbmuxTransport&) = delete;
  UsbmuxTransport& operator=(const UsbmuxTransport&) = delete;

  // Connects to the device's port through the service. False when the service refuses or does not
  // answer in time, when the transport is stopped meanwhile (at once then), or was opened or
  // stopped before: a transport is never reopened. The owner records the phone as connecting
  // before it starts the receive thread, so that the first messages' reports come after that.
  bool Open(uint16_t port = kSessionPort);
  // Starts the receive thread of an open transport. False (the stream closed, no callback) when
  // the thread cannot be made or the transport is not open.
  bool StartReceiving();
  // Also from another camera's worker while Open runs on this one's: the opening gives up within
  // one 100 ms look at the stop flag rather than when the service answers.
  void Stop() override;

  bool Send(const uint8_t* data, size_t length) override;
  // Nothing to do: the receive thread closes the stream as it ends.
  void Close() override {}
  const PhoneId& phoneId() const override { return phoneId_; }
  bool overUsb() const override { return overUsb_; }
  // No address: the service knows the device by its handle.
  const SocketAddress& peerAddress() const override { return noAddress_; }
  uint32_t deviceHandle() const { return deviceHandle_; }

 private:
  class ServiceSource;

  void RunReceiveThread();

  TransportListener& owner_;
  Clock& clock_;
  const std::string threadName_;
  const PhoneId phoneId_;
  const uint32_t deviceHandle_;
  const bool overUsb_;
  const SocketAddress noAddress_;
  bool openTried_ = false;  // under the receiver's start mutex
  bool started_ = false;    // under the receiver's start mutex

  platform::Mutex sendMutex_;
  // The service's handle of the stream, -1 when none. Set by Open before the thread starts and
  // cleared by the receive thread once it has closed the stream.
  std::atomic<int> socket_{-1};
  std::atomic<bool> open_{false};
  // The service's calls on this transport give up (the stop flag of their CallLimits): set by Stop
  // and the destructor before they take any lock, and by the receive thread as the connection ends.
  std::atomic<bool> letGo_{false};
  std::atomic<bool> sendFailed_{false};  // a send failed: the receive loop ends the connection
  // Open against Stop: the fields Open writes change under its start mutex.
  ReceiveThread receiver_{open_};
};

}  // namespace kavex
