#include "instance/phone_connector.h"

#include <mutex>
#include <vector>

#include "broker/phone_broker.h"
#include "common/trace.h"
#include "instance/active_connection.h"
#include "instance/engine_event.h"
#include "instance/host_callbacks.h"
#include "instance/other_cameras.h"
#include "instance/shared_output.h"
#include "session/phone_session.h"
#include "session/session_listener.h"

namespace kavex {

namespace {

constexpr double kSilenceTimeoutSeconds = 10.0;

}  // namespace

PhoneConnector::PhoneConnector(int index, PhoneBroker& broker, OtherCameras& others, SessionListener& camera,
                               HostCallbacks& host, EventQueue& queue, ActiveConnection& connection,
                               SharedOutput& output)
    : index_(index),
      broker_(broker),
      others_(others),
      camera_(camera),
      host_(host),
      queue_(queue),
      activeConnection_(connection),
      output_(output) {}

PhoneId PhoneConnector::currentPhone() const {
  std::lock_guard<platform::Mutex> lock(phoneMutex_);
  return currentPhone_;
}

void PhoneConnector::SetCurrentPhone(const PhoneId& phone) {
  std::lock_guard<platform::Mutex> lock(phoneMutex_);
  currentPhone_ = phone;
}

bool PhoneConnector::TakeCurrentPhoneIf(const PhoneId& phone) {
  std::lock_guard<platform::Mutex> lock(phoneMutex_);
  if (currentPhone_ != phone) return false;
  currentPhone_ = PhoneId{};
  return true;
}

void PhoneConnector::ReportPhoneState(PhoneState state) { host_.ReportState(static_cast<int>(state)); }

void PhoneConnector::TakePhone(const PhoneId& phone) {
  // A camera that lets go of a phone it was connected to shows the placeholder, and its host may
  // last have heard Streaming: it hears that the camera has none (before the phone is free for any
  // other camera), since the new connection may take seconds to open (a multiplexer slow to
  // answer) or not start at all. A phone only claimed by the camera's choice was never reported.
  ReleasePhone(HasSessionWithCurrentPhone());
  // The phone is this instance's before any other camera lets go of it: a camera made to yield
  // chooses again at once, and must find the phone taken, or it would take it back before this
  // one connects. And it is this instance's before its connection can end: a connection refused
  // at once ends on its receive thread, which forgets the current phone, possibly before
  // ConnectToPhone has returned here.
  broker_.ClaimFor([&] { SetCurrentPhone(phone); });
  // A phone is shown by one instance at a time: take it away from any other (past a slot whose
  // camera the host closed, too).
  others_.TakePhoneFromOthers(*this, phone);
  if (!ConnectToPhone(phone)) SetCurrentPhone(PhoneId{});
}

bool PhoneConnector::ConnectToPhone(const PhoneId& phone) {
  const PhoneBroker::Route route = broker_.RouteTo(phone);
  const std::string threadName = "kavex-recv-" + std::to_string(index_);
  if (route.usbmuxHandle != 0) {
    // Through the multiplexing service first: by cable, or over the network as the service
    // reaches the device.
    overUsb_.store(route.usbmuxCable);
    bool letGo = false;
    if (StartSession(phone, [&](PhoneSession& session) {
          const bool started = session.StartUsbmux(route.usbmuxHandle, route.usbmuxCable, threadName);
          letGo = !started && session.stopped();
          return started;
        }))
      return true;
    // Stopped while the service opened the stream (another camera took the phone, or this one is
    // going): not the service's refusal, and the phone is whoever stopped it's to free.
    if (letGo || SessionsClosed() || currentPhone() != phone) return false;
    if (route.peer.empty()) {
      // Nothing to fall back to: the refusal is this attempt's one failure, and it is the
      // multiplexer's (one point off the USB score, whichever way the service reaches the device).
      if (broker_.ReportState(SessionInfo{phone, true, SocketAddress{}}, PhoneState::kFailed) ==
          PhoneBroker::StateReport::kChanged)
        camera_.OnPhoneStateChanged(PhoneState::kFailed);
      return false;
    }
    broker_.OnUsbmuxRefused(route.usbmuxHandle, route.usbmuxCable);
  }
  // A refused multiplexer falls back to the network address: the camera is not on the cable then.
  overUsb_.store(route.overUsb);
  if (route.peer.empty()) {
    KAVEX_TRACE_INFO("instance", "camera %d: no way to phone %s (unknown, busy or without an address)", index_,
                     PhoneKey(phone).c_str());
    return false;
  }
  return StartSession(
      phone, [&](PhoneSession& session) { return session.Start(route.peer, kSilenceTimeoutSeconds, threadName); });
}

template <typename Starter>
bool PhoneConnector::StartSession(const PhoneId& phone, Starter&& start) {
  DropSession();
  auto session = std::make_shared<PhoneSession>(camera_, broker_, phone);
  {
    std::lock_guard<platform::Mutex> lock(sessionMutex_);
    // Another camera may have taken the phone since this one claimed it (YieldPhone): a session
    // started now would stream a phone that no camera holds.
    if (sessionsClosed_ || currentPhone() != phone) return false;
    session_ = session;
  }
  if (start(*session)) return true;
  DropSession();
  return false;
}

bool PhoneConnector::SessionsClosed() const {
  std::lock_guard<platform::Mutex> lock(sessionMutex_);
  return sessionsClosed_;
}

void PhoneConnector::CloseSessions() {
  {
    std::lock_guard<platform::Mutex> lock(sessionMutex_);
    sessionsClosed_ = true;
  }
  DropSession();
}

PhoneId PhoneConnector::DropSession() {
  std::shared_ptr<PhoneSession> session;
  {
    std::lock_guard<platform::Mutex> lock(sessionMutex_);
    session = std::move(session_);
  }
  if (session == nullptr) return PhoneId{};
  session->Stop();  // joins its receive thread, with no lock held
  return session->phoneId();
}

void PhoneConnector::LetGoOfPhone(bool tellHost) {
  // The phone this camera holds, not its session's: a session that ended on its own has already
  // reported its phone's state, and that phone may be another camera's by now. The hold and the
  // session are taken together, under the lock another camera's YieldPhone takes them under, so
  // that exactly one of the two frees the phone.
  PhoneId held;
  std::shared_ptr<PhoneSession> session;
  {
    std::lock_guard<platform::Mutex> lock(sessionMutex_);
    std::lock_guard<platform::Mutex> phoneLock(phoneMutex_);
    held = currentPhone_;
    currentPhone_ = PhoneId{};
    session = std::move(session_);
  }
  if (session != nullptr) session->Stop();  // joins its receive thread, with no lock held
  if (held.IsZero()) return;
  if (tellHost) ReportPhoneState(PhoneState::kIdle);  // before another camera can have the phone
  broker_.Free(held);
}

void PhoneConnector::ReleasePhone(bool tellHost) {
  activeConnection_.Clear();
  LetGoOfPhone(tellHost);
  // Whoever took the phone, this camera no longer shows it: the placeholder, not a frozen picture.
  output_.ShowPlaceholder();
}

std::shared_ptr<PhoneConnection> PhoneConnector::ConnectionOf(const PhoneSession& session) {
  std::lock_guard<platform::Mutex> lock(sessionMutex_);
  if (session_.get() == &session) return session_->connection();
  return nullptr;
}

bool PhoneConnector::YieldPhone(const PhoneId& phone) {
  // This runs on the taker's worker while this camera's own worker goes on: it may have chosen
  // another phone, started another session, or be letting go of this one itself since the taker
  // looked. Only what is still `phone`'s is let go, or the camera would lose the phone it has just
  // moved to; and exactly one of the two frees the phone, whoever takes the camera's hold on it,
  // after the session stopped: a phone freed late could be set Idle under the taker's connection.
  std::shared_ptr<PhoneSession> session;
  bool held = false;
  {
    std::lock_guard<platform::Mutex> lock(sessionMutex_);
    if (session_ != nullptr && session_->phoneId() == phone) {
      // Left in place while it stops: a camera letting go meanwhile finds it, stops it too (which
      // returns once it has stopped) and only then frees the phone.
      session = session_;
    } else {
      // No session of the phone yet: the camera may have claimed it and be about to start one. The
      // claim goes under the session lock, where StartSession looks for it, so that none starts.
      held = TakeCurrentPhoneIf(phone);
    }
  }
  if (session != nullptr) {
    session->Stop();  // joins its receive thread, with no lock held; it reports nothing after
    // The phone is given up only now: while the session stopped, the camera still held it and so
    // chose no other, whose reports could then have come before the one below.
    std::lock_guard<platform::Mutex> lock(sessionMutex_);
    if (session_ == session) session_.reset();
    held = TakeCurrentPhoneIf(phone);
  }
  if (!held) return session != nullptr;  // the camera let go by itself, and frees it itself
  activeConnection_.Clear();
  // The host of a camera that was connected to the phone (it may last have heard Streaming) hears
  // that it has none before the phone is free for the taker; a phone merely claimed was never
  // reported to it.
  if (session != nullptr) ReportPhoneState(PhoneState::kIdle);
  broker_.Free(phone);
  // Whoever took the phone, this camera no longer shows it: the placeholder, not a frozen picture.
  output_.ShowPlaceholder();
  // It chooses again at once rather than at the next news of some phone.
  queue_.Push(EngineEvent::Refresh(0.0));
  return true;
}

bool PhoneConnector::HasSessionWithCurrentPhone() const {
  const PhoneId current = currentPhone();
  if (current.IsZero()) return false;
  std::lock_guard<platform::Mutex> lock(sessionMutex_);
  return session_ != nullptr && session_->phoneId() == current;
}

void PhoneConnector::RefreshPhoneList() {
  const PhoneId current = currentPhone();
  if (current.IsZero()) {
    // Choice mode: take the best free phone, claimed under the list lock so that no other
    // instance's choice can take the same phone.
    const PhoneId chosen = broker_.ChooseFor(index_, [this](const PhoneId& phone) { SetCurrentPhone(phone); });
    if (!chosen.IsZero()) {
      KAVEX_TRACE_INFO("instance", "camera %d: chose phone %s", index_, PhoneKey(chosen).c_str());
      queue_.Push(EngineEvent::Connect(chosen));
    }
    return;
  }
  bool reconnectOverUsb = false;
  const std::vector<PhoneListEntry> entries = broker_.ListFor(current, overUsb(), &reconnectOverUsb);
  if (reconnectOverUsb) queue_.Push(EngineEvent::Connect(current));
  host_.PublishPhoneList(entries);
}

void PhoneConnector::SelectPhoneByKey(const std::string& key) {
  const PhoneId chosen = broker_.FindSelectable(key);
  if (!chosen.IsZero()) queue_.Push(EngineEvent::Connect(chosen));
}

}  // namespace kavex
