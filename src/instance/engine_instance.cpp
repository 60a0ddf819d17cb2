#include "instance/engine_instance.h"

#include <algorithm>

#include "broker/phone_broker.h"
#include "common/engine_thread.h"
#include "common/error_log.h"
#include "common/trace.h"
#include "instance/instance_registry.h"
#include "instance/teardown_reaper.h"
#include "media/format_choice.h"
#include "platform/address_watch.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "protocol/control_messages.h"

namespace kavex {

namespace {

constexpr double kSilenceTimeoutSeconds = 10.0;

}  // namespace

std::shared_ptr<EngineInstance> EngineInstance::Create(int index, PhoneBroker& broker, WorkerTiming& timing) {
  std::shared_ptr<EngineInstance> instance(new EngineInstance(index, broker, timing));
  InstanceRegistry::Enter(index, instance);
  // Discovery threads that report into the phone list start here, once the instance is complete
  // and registered: a report must never reach a half-built instance.
  return instance;
}

// The socket library's share is taken before any socket of this instance is made, and let go only
// at the end of TearDown.
EngineInstance::EngineInstance(int index, PhoneBroker& broker, WorkerTiming& timing)
    : index_(index), timing_(timing), broker_(broker), callbacks_(index), socketLibrary_(broker.ShareSockets()) {
  if (index_ == 0) brokerAttachment_ = broker_.Attach();
}

EngineInstance::~EngineInstance() { Destroy(); }

int EngineInstance::Open() {
  std::lock_guard<platform::Mutex> teardown(teardownMutex_);
  if (destroyed_) return kInternalFailure;
  if (opened()) return 0;  // opened once; the table never opens an instance twice
  formats_.Reset();
  std::shared_ptr<VirtualCameraOutput> output;
  int result = 0;
  try {
    output = std::make_shared<VirtualCameraOutput>(index_, this);
    result = output->Open();
  } catch (...) {
    // No memory for the frame slots or no thread for the feeder: the host learns it through the
    // open result.
    ErrorLog::Record(error_codes::kOutputCreateFailed);
    result = kInternalFailure;
  }
  // Kept after a failed open too: what was opened stays until teardown.
  output_.Set(std::move(output));
  if (result != 0) {
    Stop();
    return result;
  }
  try {
    // Instance 0 listens for phones on the network from now on.
    if (index_ == 0) broker_.StartDiscovery(brokerAttachment_);
    auto worker = std::make_unique<WorkerLoop>(queue_, *this, timing_, "kavex-worker-" + std::to_string(index_));
    worker->Start();
    std::lock_guard<platform::Mutex> lock(workerMutex_);
    worker_ = std::move(worker);
  } catch (...) {
    // Out of threads or memory: the host learns it through the open result.
    ErrorLog::Record(error_codes::kWorkerStartFailed);
    Stop();
    return kInternalFailure;
  }
  return 0;
}

bool EngineInstance::opened() const { return output_.Get() != nullptr; }

bool EngineInstance::outputStreaming() const {
  const std::shared_ptr<VirtualCameraOutput> output = OutputForMedia();
  return output != nullptr && output->streaming();
}

bool EngineInstance::workerRunning() const {
  std::lock_guard<platform::Mutex> lock(workerMutex_);
  return worker_ != nullptr && worker_->running();
}

void EngineInstance::Stop() {
  std::unique_ptr<WorkerLoop> worker;
  {
    std::lock_guard<platform::Mutex> lock(workerMutex_);
    worker = std::move(worker_);
  }
  if (worker != nullptr) worker->RequestStop();
  // No session starts from now on, and one the worker is opening ends now: a service that takes
  // its time over the stream would otherwise hold the worker's join, and with it the host.
  {
    std::lock_guard<platform::Mutex> lock(sessionMutex_);
    sessionsClosed_ = true;
  }
  DropSession();
  if (worker != nullptr) worker->Stop();
  activeConnection_.Clear();
  if (index_ == 0) broker_.StopDiscovery(brokerAttachment_);
  // Only this camera's phone is let go. The list is every camera's: emptying it here would lose
  // what only a new subscription or attachment reports again (an iPhone on the cable), so the
  // cameras that remain could never take such a phone again. Instance 0's release empties it.
  LetGoOfPhone();
  // A handler that ran until its receive thread was joined may have set it again.
  activeConnection_.Clear();
  video_.EndStream();  // joins the decoder's thread; no receive thread feeds it any more
}

void EngineInstance::Destroy() {
  {
    std::lock_guard<platform::Mutex> teardown(teardownMutex_);
    if (destroyed_) return;
    destroyed_ = true;
  }
  callbacks_.Close();  // nothing reaches the host once the camera is being taken apart
  // On one of the engine's own threads (the host tearing the camera down from a callback) the
  // threads to be joined may include this one, or one that waits for it: the teardown runs on a
  // thread of its own. The destructor has no reference left to hand over and runs it here; it runs
  // only after a Destroy anyway, as the registry holds the instance until then.
  if (OnEngineThread()) {
    if (std::shared_ptr<EngineInstance> self = weak_from_this().lock()) {
      KAVEX_TRACE_INFO("instance", "camera %d: torn down from a callback, on a teardown thread", index_);
      TeardownReaper::Run([self] { self->TearDown(); });
      return;
    }
  }
  TearDown();
}

void EngineInstance::TearDown() {
  // Declared first so that it is released last: if the registry held the final reference, the
  // object goes away only after this function has finished with it.
  std::shared_ptr<EngineInstance> registryReference;
  Stop();

  registryReference = InstanceRegistry::Remove(index_, this);
  std::shared_ptr<VirtualCameraOutput> output = output_.Take();
  // Closed here (its feeder joined), unless a host call still uses it: then as that call returns.
  output.reset();
  queue_.Clear();
  formats_.Clear();
  if (index_ == 0) broker_.Release(brokerAttachment_);
  socketLibrary_.reset();
}

uint64_t EngineInstance::PasscodeKey(const PhoneId& phone) {
  return callbacks_.GetPasscodeKey(phone, broker_.NameOf(phone));
}

void EngineInstance::NotifyListChanged() { InstanceRegistry::RefreshAll(); }

void EngineInstance::OnPhoneStateChanged(PhoneState state) {
  KAVEX_TRACE_INFO("instance", "camera %d: phone state %d", index_, static_cast<int>(state));
  ReportPhoneState(state);
}

void EngineInstance::ReportPhoneState(PhoneState state) { callbacks_.ReportState(static_cast<int>(state)); }

void EngineInstance::ResetOutput() {
  if (const std::shared_ptr<VirtualCameraOutput> output = OutputForMedia()) {
    output->SetStreaming(false);
    output->ClearFrameSlots();
  }
}

void EngineInstance::OnConnectionLost() {
  activeConnection_.Clear();
  SetCurrentPhone(PhoneId{});
  // What the phone sent before it left is not decoded into a camera that has moved on: its decoder
  // goes first (joined here, on the receive thread that ended, with no lock held, as when a new
  // stream replaces it), then the placeholder comes back.
  video_.EndStream();
  ResetOutput();
  Push(EngineEvent::Refresh(0.0));
}

PhoneId EngineInstance::currentPhone() const {
  std::lock_guard<platform::Mutex> lock(phoneMutex_);
  return currentPhone_;
}

void EngineInstance::SetCurrentPhone(const PhoneId& phone) {
  std::lock_guard<platform::Mutex> lock(phoneMutex_);
  currentPhone_ = phone;
}

bool EngineInstance::TakeCurrentPhoneIf(const PhoneId& phone) {
  std::lock_guard<platform::Mutex> lock(phoneMutex_);
  if (currentPhone_ != phone) return false;
  currentPhone_ = PhoneId{};
  return true;
}

bool EngineInstance::ConnectToPhone(const PhoneId& phone) {
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
        OnPhoneStateChanged(PhoneState::kFailed);
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
bool EngineInstance::StartSession(const PhoneId& phone, Starter&& start) {
  DropSession();
  auto session = std::make_shared<PhoneSession>(*this, broker_, phone);
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

bool EngineInstance::SessionsClosed() const {
  std::lock_guard<platform::Mutex> lock(sessionMutex_);
  return sessionsClosed_;
}

PhoneId EngineInstance::DropSession() {
  std::shared_ptr<PhoneSession> session;
  {
    std::lock_guard<platform::Mutex> lock(sessionMutex_);
    session = std::move(session_);
  }
  if (session == nullptr) return PhoneId{};
  session->Stop();  // joins its receive thread, with no lock held
  return session->phoneId();
}

void EngineInstance::LetGoOfPhone(bool tellHost) {
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

void EngineInstance::ReleasePhone(bool tellHost) {
  activeConnection_.Clear();
  LetGoOfPhone(tellHost);
  // Whoever took the phone, this camera no longer shows it: the placeholder, not a frozen picture.
  ResetOutput();
}

std::shared_ptr<PhoneConnection> EngineInstance::ConnectionOf(const PhoneSession& session) {
  std::lock_guard<platform::Mutex> lock(sessionMutex_);
  if (session_.get() == &session) return session_->connection();
  return nullptr;
}

void EngineInstance::OnAudioPacket(const uint8_t* packet, size_t length) { audio_.OnPacket(packet, length); }

void EngineInstance::OnVideoPacket(float timestamp, const uint8_t* data, size_t length) {
  video_.Submit(data, length, timestamp);
}

void EngineInstance::OnStreamOffered(PhoneSession& session, PhoneConnection&, bool hevc,
                                     const std::vector<VideoFormat>& formats) {
  // A new stream gets a new decoder. The old one goes first, its thread joined with no lock held:
  // that thread may be inside the host's video-size callback, and the host may be changing the
  // format from there. Until the new decoder is in place there is none, so no format request (it
  // names the decoder's codec) can go out for the old stream.
  video_.EndStream();

  // The connection that delivered the phone's formats is the one everything else goes to.
  activeConnection_.Set(ConnectionOf(session));
  const std::vector<VideoFormat> sorted = format_choice::SortedPhoneFormats(formats);
  KAVEX_TRACE_INFO("instance", "camera %d: the phone offers %zu formats%s", index_, sorted.size(),
                   hevc ? " and HEVC" : "");
  formats_.AskHost(callbacks_, sorted);
  video_.PrepareStream(hevc);
  formats_.BeginStream(sorted, [this] { video_.BeginStream(); });
  // The stream starts: the camera stops showing the placeholder and waits for the phone's pictures.
  if (const std::shared_ptr<VirtualCameraOutput> output = OutputForMedia()) {
    output->SetStreaming(true);
    output->ClearFrameSlots();
  }
}

void EngineInstance::OnConnectRequest(const PhoneId& phone) {
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
  for (int i = 0; i < InstanceRegistry::kSlots; ++i) {
    std::shared_ptr<EngineInstance> other = InstanceRegistry::Get(i);
    if (other == nullptr || other.get() == this) continue;
    if (other->YieldPhone(phone))
      KAVEX_TRACE_INFO("instance", "camera %d: its phone was taken by camera %d", other->index_, index_);
  }
  if (!ConnectToPhone(phone)) SetCurrentPhone(PhoneId{});
}

bool EngineInstance::YieldPhone(const PhoneId& phone) {
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
  ResetOutput();
  // It chooses again at once rather than at the next news of some phone.
  Push(EngineEvent::Refresh(0.0));
  return true;
}

bool EngineInstance::HasSessionWithCurrentPhone() const {
  const PhoneId current = currentPhone();
  if (current.IsZero()) return false;
  std::lock_guard<platform::Mutex> lock(sessionMutex_);
  return session_ != nullptr && session_->phoneId() == current;
}

void EngineInstance::OnRefreshDue() { RefreshPhoneList(); }

void EngineInstance::OnPassEnd() {
  // About once a second: a consumer that now wants another size gets a stream of that size.
  formats_.CheckWantedFormat();
  if (index_ == 0) broker_.CheckAddresses();
}

void EngineInstance::RestartServiceDiscovery() {
  if (index_ == 0) broker_.RestartServiceDiscovery();
}

void EngineInstance::RefreshPhoneList() {
  const PhoneId current = currentPhone();
  if (current.IsZero()) {
    // Choice mode: take the best free phone, claimed under the list lock so that no other
    // instance's choice can take the same phone.
    const PhoneId chosen = broker_.ChooseFor(index_, [this](const PhoneId& phone) { SetCurrentPhone(phone); });
    if (!chosen.IsZero()) {
      KAVEX_TRACE_INFO("instance", "camera %d: chose phone %s", index_, PhoneKey(chosen).c_str());
      Push(EngineEvent::Connect(chosen));
    }
    return;
  }
  bool reconnectOverUsb = false;
  const std::vector<PhoneListEntry> entries = broker_.ListFor(current, overUsb(), &reconnectOverUsb);
  if (reconnectOverUsb) Push(EngineEvent::Connect(current));
  callbacks_.PublishPhoneList(entries);
}

void EngineInstance::SelectPhoneByKey(const std::string& key) {
  const PhoneId chosen = broker_.FindSelectable(key);
  if (!chosen.IsZero()) Push(EngineEvent::Connect(chosen));
}

void EngineInstance::SetBlank(bool blank) {
  if (const std::shared_ptr<VirtualCameraOutput> output = OutputForMedia()) output->SetBlank(blank);
}

bool EngineInstance::blank() const {
  const std::shared_ptr<VirtualCameraOutput> output = OutputForMedia();
  return output != nullptr && output->blank();
}

void EngineInstance::OnControlValue(uint32_t value) {
  activeConnection_.Send(control_messages::ControlChange(4, static_cast<int32_t>(value)));
}

void EngineInstance::OnControlFlag(bool flag) {
  activeConnection_.Send(control_messages::ControlChange(2, flag ? 1 : 0));
}

}  // namespace kavex
