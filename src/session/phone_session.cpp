#include "session/phone_session.h"

#include "broker/phone_broker.h"
#include "common/error_log.h"
#include "platform/sync.h"
#include "protocol/session_messages.h"
#include "session/session_listener.h"
#include "transport/tcp_transport.h"
#include "transport/usbmux_transport.h"

namespace kavex {

PhoneSession::PhoneSession(SessionListener& listener, PhoneBroker& broker, const PhoneId& phone)
    : phone_(phone), listener_(listener), broker_(broker) {}

PhoneSession::~PhoneSession() { Stop(); }

bool PhoneSession::Start(const SocketAddress& peer, double silenceTimeoutSeconds, const std::string& threadName) {
  const PhoneId& phone = phone_;
  auto transport = std::make_shared<TcpTransport>(*this, silenceTimeoutSeconds, threadName);
  {
    std::lock_guard<platform::Mutex> lock(transportMutex_);
    if (stopped_.load()) return false;  // another camera took the phone while this one started
    transport_ = transport;
  }
  const SessionInfo session{phone, false, peer};
  if (!ReportConnectingUnlessStopped(session)) return false;
  if (transport->Start(peer, &phone)) return true;
  // Stopped meanwhile: the phone is its releaser's to free, a Failed now would overwrite that.
  if (stopped_.load()) return false;
  Stop();
  ReportState(session, PhoneState::kFailed);
  return false;
}

bool PhoneSession::StartUsbmux(uint32_t deviceHandle, bool cable, const std::string& threadName) {
  const PhoneId& phone = phone_;
  auto transport = std::make_shared<UsbmuxTransport>(*this, deviceHandle, cable, phone, threadName);
  {
    std::lock_guard<platform::Mutex> lock(transportMutex_);
    if (stopped_.load()) return false;
    transport_ = transport;
  }
  if (!transport->Open()) return false;
  const SessionInfo session{phone, cable, SocketAddress{}};
  if (!ReportConnectingUnlessStopped(session)) return false;
  if (transport->StartReceiving()) return true;
  // Stopped meanwhile: the phone is its releaser's to free, a Failed now would overwrite that.
  if (stopped_.load()) return false;
  Stop();
  ReportState(session, PhoneState::kFailed);
  return false;
}

void PhoneSession::Stop() {
  std::shared_ptr<SessionTransport> transport;
  {
    std::lock_guard<platform::Mutex> lock(transportMutex_);
    stopped_.store(true);
    transport = transport_;
  }
  // Stopped here, not whenever the last reference goes: a host thread may still hold one for a
  // send, and a stopped transport calls nobody back.
  if (transport != nullptr) transport->Stop();
  // A Connecting report under way is over once this returns; later ones see the flag.
  std::lock_guard<platform::Mutex> reporting(connectingReportMutex_);
}

std::shared_ptr<PhoneConnection> PhoneSession::connection() const {
  std::lock_guard<platform::Mutex> lock(transportMutex_);
  return transport_;
}

bool PhoneSession::RecordState(const SessionInfo& session, PhoneState state) {
  const PhoneBroker::StateReport report = broker_.ReportState(session, state);
  const PhoneState previous = lastReported_.exchange(state);
  // A phone dropped from the list while its session ran (a pulled cable is heard from the service
  // before the stream ends) still has its end told: the host would show it streaming otherwise.
  return report == PhoneBroker::StateReport::kChanged ||
         (report == PhoneBroker::StateReport::kUnlisted && previous != state);
}

void PhoneSession::ReportState(const SessionInfo& session, PhoneState state) {
  if (RecordState(session, state)) listener_.OnPhoneStateChanged(state);
}

bool PhoneSession::ReportConnectingUnlessStopped(const SessionInfo& session) {
  bool tell = false;
  {
    std::lock_guard<platform::Mutex> reporting(connectingReportMutex_);
    if (stopped_.load()) return false;
    tell = RecordState(session, PhoneState::kConnecting);
  }
  // With no lock held: the host may call back into the engine from its callback.
  if (tell) listener_.OnPhoneStateChanged(PhoneState::kConnecting);
  return true;
}

void PhoneSession::ReportState(const PhoneConnection& connection, PhoneState state) {
  ReportState(SessionInfo{connection.phoneId(), connection.overUsb(), connection.peerAddress()}, state);
}

void PhoneSession::ApplyStreamingRule(const PhoneConnection& connection) {
  if (broker_.StateOf(connection.phoneId()) != PhoneState::kStreaming) ReportState(connection, PhoneState::kStreaming);
}

void PhoneSession::SendStoredErrorReport(PhoneConnection& connection) {
  const ErrorLog::StoredEntry entry = ErrorLog::TakeStoredEntry();
  if (!entry.deliver) return;
  const std::vector<uint8_t> report = session_messages::ErrorReport(kProtocolValueA, kProtocolValueB, entry.text);
  connection.Send(report.data(), report.size());
}

void PhoneSession::OnConnected(PhoneConnection&) {}

void PhoneSession::OnFailed(PhoneConnection& connection) {
  // A phone that said goodbye has ended its session; that its close then failed a send of ours
  // makes it no less a normal end.
  if (goodbyeFrom_.load() == &connection) {
    OnClosed(connection);
    return;
  }
  listener_.OnSessionEnded();
  ReportState(connection, PhoneState::kFailed);
}

void PhoneSession::OnClosed(PhoneConnection& connection) {
  const PhoneId& id = connection.phoneId();
  bool placeholderId = id.bytes[0] <= 4;
  for (size_t i = 1; i < id.bytes.size(); ++i) placeholderId = placeholderId && id.bytes[i] == 0;
  if (placeholderId || !heardFromPhone_.load()) {
    ReportState(connection, PhoneState::kFailed);
  } else if (broker_.StateOf(id) != PhoneState::kPasscodeNeeded) {
    // A phone waiting for its passcode keeps that state, so it is not chosen again until the host
    // sets one.
    ReportState(connection, PhoneState::kIdle);
  }
  listener_.OnSessionEnded();
}

void PhoneSession::OnPacket(PhoneConnection& connection, const uint8_t* message, size_t length) {
  heardFromPhone_.store(true);
  DispatchMessage(*this, connection, message, length);
}

void PhoneSession::OnAnnouncement(PhoneConnection& connection, const PhoneId& announced, uint16_t kind,
                                  const std::string& name) {
  broker_.OnAnnouncement(connection.phoneId(), announced, kind, name);
}

void PhoneSession::OnGoodbye(PhoneConnection& connection) {
  goodbyeFrom_.store(&connection);
  ReportState(connection, PhoneState::kIdle);
  listener_.OnSessionEnded();
}

bool PhoneSession::AfterGoodbye(const PhoneConnection& connection) const { return goodbyeFrom_.load() == &connection; }

void PhoneSession::OnHello(PhoneConnection& connection) {
  SendStoredErrorReport(connection);
  const std::vector<uint8_t> answer = session_messages::HelloAnswer();
  connection.Send(answer.data(), answer.size());
}

void PhoneSession::OnStatus(PhoneConnection& connection) {
  if (!AfterGoodbye(connection)) ApplyStreamingRule(connection);
}

void PhoneSession::OnAudioPacket(PhoneConnection& connection, const uint8_t* packet, size_t length) {
  if (!AfterGoodbye(connection)) listener_.OnAudioPacket(packet, length);
}

void PhoneSession::OnVideoPacket(PhoneConnection& connection, float timestamp, const uint8_t* data, size_t length) {
  if (AfterGoodbye(connection)) return;
  ApplyStreamingRule(connection);
  listener_.OnVideoPacket(timestamp, data, length);
}

void PhoneSession::OnCapabilities(PhoneConnection& connection, bool hevc, const std::vector<VideoFormat>& formats) {
  if (AfterGoodbye(connection)) return;
  const std::vector<uint8_t> answer = session_messages::CapabilitiesAnswer(kProtocolValueA, kProtocolValueB);
  connection.Send(answer.data(), answer.size());
  SendStoredErrorReport(connection);
  listener_.OnStreamOffered(*this, connection, hevc, formats);
}

void PhoneSession::OnPasscodeChallenge(PhoneConnection& connection, uint64_t challenge) {
  ReportState(connection, PhoneState::kPasscodeNeeded);
  const uint64_t key = listener_.PasscodeKey(connection.phoneId());
  if (key == 0) return;  // the host has no key for this phone: the phone will close
  const std::vector<uint8_t> answer = session_messages::PasscodeAnswer(key, challenge);
  connection.Send(answer.data(), answer.size());
}

RelayedMessageSink& PhoneSession::relay() { return listener_.relay(); }

}  // namespace kavex
