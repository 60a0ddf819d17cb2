#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/phone_state.h"
#include "platform/sync.h"
#include "protocol/message_dispatcher.h"
#include "protocol/phone_connection.h"

namespace kavex {

class PhoneBroker;
class SessionListener;
class SessionTransport;
struct SessionInfo;

// One connection to one phone, from connect to end: the transport, the dispatch of the phone's
// messages, the phone's state as this session sees it (reported to the phone broker; changes to
// the listener), the opening answers with the stored error report, the passcode exchange and the
// goodbye. It hands the phone's stream to its listener; it never touches a decoder or an output.
//
// Thread: Start and Stop on the owning camera's worker (or its teardown); everything else on the
// connection's receive thread. The listener and the broker outlive the session; the session
// outlives its receive thread (Stop joins it).
class PhoneSession final : public TransportListener, public SessionHandler {
 public:
  // Values the phone is sent in the capabilities reply and in error reports.
  static constexpr uint32_t kProtocolValueA = 12;
  static constexpr uint32_t kProtocolValueB = 14;

  // A session is for one phone from its creation: a camera taking the phone away finds it by that
  // phone while it is still starting, before its connection exists.
  PhoneSession(SessionListener& listener, PhoneBroker& broker, const PhoneId& phone);
  ~PhoneSession() override;
  PhoneSession(const PhoneSession&) = delete;
  PhoneSession& operator=(const PhoneSession&) = delete;

  // Connects to the phone over TCP (a network address, or a debug bridge forward). The phone is reported Connecting
  // before the receive thread starts, so that a connection refused at once cannot have its Failed overwritten by a late
  // Connecting. False (the phone reported Failed) when the connection could not even be started;
  // false with nothing reported when the session was stopped meanwhile (whoever stopped it frees
  // the phone).
  bool Start(const SocketAddress& peer, double silenceTimeoutSeconds, const std::string& threadName);
  // Connects through the USB multiplexing service to the device with this handle (cable: the
  // service reaches it by cable). False, with nothing reported, when the service refuses or the
  // session is stopped meanwhile (stopped() tells which): the caller decides what comes next. The
  // connection is this session's from the start, so that a Stop from another camera's worker ends
  // the opening at once and phoneId() names the phone. The phone is reported Connecting once the
  // service has opened the stream, before the receive thread starts, and never after a Stop has
  // returned: whoever stopped the session frees the phone then.
  bool StartUsbmux(uint32_t deviceHandle, bool cable, const std::string& threadName);
  // Ends the connection without callbacks and joins its thread; safe twice. A host thread may still
  // hold the connection for a send: it stays valid, and says no.
  void Stop();
  // Stop was called: a start that failed meanwhile was let go, not refused.
  bool stopped() const { return stopped_.load(); }
  // The connection, for sends on the camera's initiative; null before Start.
  std::shared_ptr<PhoneConnection> connection() const;
  const PhoneId& phoneId() const { return phone_; }

  // TransportListener, on the receive thread.
  void OnConnected(PhoneConnection& connection) override;
  void OnFailed(PhoneConnection& connection) override;
  void OnClosed(PhoneConnection& connection) override;
  void OnPacket(PhoneConnection& connection, const uint8_t* message, size_t length) override;

  // SessionHandler, on the receive thread.
  void OnAnnouncement(PhoneConnection& connection, const PhoneId& announced, uint16_t kind,
                      const std::string& name) override;
  void OnGoodbye(PhoneConnection& connection) override;
  void OnHello(PhoneConnection& connection) override;
  void OnStatus(PhoneConnection& connection) override;
  void OnAudioPacket(PhoneConnection& connection, const uint8_t* packet, size_t length) override;
  void OnVideoPacket(PhoneConnection& connection, float timestamp, const uint8_t* data, size_t length) override;
  void OnCapabilities(PhoneConnection& connection, bool hevc, const std::vector<VideoFormat>& formats) override;
  void OnPasscodeChallenge(PhoneConnection& connection, uint64_t challenge) override;
  RelayedMessageSink& relay() override;

 private:
  const PhoneId phone_;
  void ReportState(const SessionInfo& session, PhoneState state);
  // The broker's part of a report; true when the listener must hear of it.
  bool RecordState(const SessionInfo& session, PhoneState state);
  // Connecting, unless the session was stopped: false then, and nothing reported.
  bool ReportConnectingUnlessStopped(const SessionInfo& session);
  void ReportState(const PhoneConnection& connection, PhoneState state);
  // The first video or status message of a session marks its phone streaming.
  void ApplyStreamingRule(const PhoneConnection& connection);
  // Sends the stored diagnostic to the phone, once.
  void SendStoredErrorReport(PhoneConnection& connection);
  // The phone said goodbye on this connection: its stream is over. A phone that goes on streaming
  // (or whose goodbye was a stray message of that type) must not be marked streaming again nor
  // feed the camera, which has let it go; it stays free to be chosen, and a new session replaces
  // the old connection. What else it says (its announcement, a hello) is still heard.
  bool AfterGoodbye(const PhoneConnection& connection) const;

  SessionListener& listener_;
  PhoneBroker& broker_;
  mutable platform::Mutex transportMutex_;  // transport_ (the pointer): Start and Stop against sends
  std::shared_ptr<SessionTransport> transport_;
  std::atomic<bool> stopped_{false};
  // A StartUsbmux's Connecting report against Stop, which waits for one under way: the phone's
  // releaser frees it after Stop, and a late Connecting would leave it taken for good. Held
  // across the broker's report (its locks come after), never across the listener's call.
  platform::Mutex connectingReportMutex_;
  // The connection whose phone said goodbye: its end, however it comes, is a normal one.
  std::atomic<const PhoneConnection*> goodbyeFrom_{nullptr};
  // Set by the first whole message. A stream that ends before it is a connection that failed: a
  // bridge forward to a phone that is gone accepts and closes at once, and calling that a normal
  // end would have the camera reconnect to it many times a second.
  std::atomic<bool> heardFromPhone_{false};
  // What this session last reported, for a phone whose record is gone.
  std::atomic<PhoneState> lastReported_{PhoneState::kIdle};
};

}  // namespace kavex
