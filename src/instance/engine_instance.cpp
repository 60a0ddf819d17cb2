#include "instance/engine_instance.h"

#include <algorithm>

#include "platform/clock.h"
#include "common/engine_thread.h"
#include "discovery/phone_list.h"
#include "instance/instance_registry.h"
#include "instance/teardown_reaper.h"
#include "media/format_choice.h"
#include "broker/phone_broker.h"
#include "platform/address_watch.h"
#include "protocol/control_messages.h"
#include "common/error_log.h"
#include "protocol/session_messages.h"
#include "transport/tcp_transport.h"

namespace kavex {

namespace {

constexpr double kSilenceTimeoutSeconds = 10.0;

}  // namespace

std::shared_ptr<EngineInstance> EngineInstance::Create(int index, WorkerTiming& timing) {
  std::shared_ptr<EngineInstance> instance(new EngineInstance(index, timing));
  InstanceRegistry::Enter(index, instance);
  // Discovery threads that report into the phone list start here, once the instance is complete
  // and registered: a report must never reach a half-built instance.
  return instance;
}

EngineInstance::EngineInstance(int index, WorkerTiming& timing)
    : index_(index), timing_(timing), callbacks_(index) {
  // Protocol layer. The socket library first: it must outlive every socket of this instance.
  socketLibrary_ = std::make_unique<platform::SocketLibrary>();
  if (index_ == 0) brokerAttachment_ = InstanceRegistry::Broker().Attach();
}

EngineInstance::~EngineInstance() { Destroy(); }

int EngineInstance::Open() {
  std::lock_guard<std::mutex> teardown(teardownMutex_);
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
    if (index_ == 0) InstanceRegistry::Broker().StartDiscovery(brokerAttachment_);
    auto worker = std::make_unique<WorkerLoop>(queue_, *this, timing_,
                                               "kavex-worker-" + std::to_string(index_));
    worker->Start();
    std::lock_guard<std::mutex> lock(workerMutex_);
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
  std::lock_guard<std::mutex> lock(workerMutex_);
  return worker_ != nullptr && worker_->running();
}

void EngineInstance::Stop() {
  std::unique_ptr<WorkerLoop> worker;
  {
    std::lock_guard<std::mutex> lock(workerMutex_);
    worker = std::move(worker_);
  }
  if (worker != nullptr) worker->Stop();
  activeConnection_.Clear();
  if (index_ == 0) InstanceRegistry::Broker().StopDiscovery(brokerAttachment_);
  DropTcpTransport();
  // A handler that ran until its receive thread was joined may have set it again.
  activeConnection_.Clear();
  video_.EndStream();  // joins the decoder's thread; no receive thread feeds it any more
  // The list is shared by all instances: any instance going away empties it, and discovery fills it
  // again for those that remain.
  InstanceRegistry::Broker().Forget();
}

void EngineInstance::Destroy() {
  {
    std::lock_guard<std::mutex> teardown(teardownMutex_);
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
  if (index_ == 0) InstanceRegistry::Broker().Release(brokerAttachment_);
  socketLibrary_.reset();
}

void EngineInstance::NotifyListChanged() { InstanceRegistry::RefreshAll(); }

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
  ResetOutput();
  Push(EngineEvent::Refresh(0.0));
}

PhoneId EngineInstance::currentPhone() const {
  std::lock_guard<std::mutex> lock(phoneMutex_);
  return currentPhone_;
}

void EngineInstance::SetCurrentPhone(const PhoneId& phone) {
  std::lock_guard<std::mutex> lock(phoneMutex_);
  currentPhone_ = phone;
}

bool EngineInstance::ConnectToPhone(const PhoneId& phone) {
  const PhoneBroker::Route route = InstanceRegistry::Broker().RouteTo(phone);
  overUsb_.store(route.overUsb);
  const SocketAddress peer = route.peer;
  if (peer.empty()) return false;
  DropTcpTransport();
  goodbyeFrom_.store(nullptr);
  auto transport = std::make_shared<TcpTransport>(*this, kSilenceTimeoutSeconds,
                                                 "kavex-recv-" + std::to_string(index_));
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    tcp_ = transport;
  }
  // Connecting is reported before the receive thread starts: a connection refused at once must
  // not have its Failed overwritten by a late Connecting, which would leave the phone busy for ever.
  const SessionInfo session{phone, false, peer};
  SetPhoneState(session, PhoneState::kConnecting);
  if (transport->Start(peer, &phone)) return true;
  DropTcpTransport();
  SetPhoneState(session, PhoneState::kFailed);
  return false;
}

PhoneId EngineInstance::DropTcpTransport() {
  std::shared_ptr<TcpTransport> transport;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    transport = std::move(tcp_);
  }
  if (transport == nullptr) return PhoneId{};
  // Stopped here, not whenever the last reference goes: a host thread may still hold one for a
  // send, and a stopped transport calls nobody back.
  transport->Stop();
  return transport->phoneId();
}

void EngineInstance::ReleasePhone() {
  activeConnection_.Clear();
  SetCurrentPhone(PhoneId{});
  const PhoneId released = DropTcpTransport();
  InstanceRegistry::Broker().Free(released);
  // Whoever took the phone, this camera no longer shows it: the placeholder, not a frozen picture.
  ResetOutput();
}

std::shared_ptr<PhoneConnection> EngineInstance::OwnedConnection(const PhoneConnection& connection) {
  std::lock_guard<std::mutex> lock(connectionsMutex_);
  if (tcp_.get() == &connection) return tcp_;
  return nullptr;
}

void EngineInstance::SetPhoneState(const SessionInfo& session, PhoneState state) {
  if (InstanceRegistry::Broker().ReportState(session, state)) ReportPhoneState(state);
}

void EngineInstance::SetPhoneState(const PhoneConnection& connection, PhoneState state) {
  SetPhoneState(SessionInfo{connection.phoneId(), connection.overUsb(), connection.peerAddress()}, state);
}

void EngineInstance::SendStoredErrorReport(PhoneConnection& connection) {
  const ErrorLog::StoredEntry entry = ErrorLog::TakeStoredEntry();
  if (!entry.deliver) return;
  const std::vector<uint8_t> report =
      session_messages::ErrorReport(kProtocolValueA, kProtocolValueB, entry.text);
  connection.Send(report.data(), report.size());
}

void EngineInstance::ApplyStreamingRule(const PhoneConnection& connection) {
  if (InstanceRegistry::Broker().StateOf(connection.phoneId()) != PhoneState::kStreaming)
    SetPhoneState(connection, PhoneState::kStreaming);
}

void EngineInstance::OnConnected(PhoneConnection&) {}

void EngineInstance::OnFailed(PhoneConnection& connection) {
  // A phone that said goodbye has ended its session; that its close then failed a send of ours
  // makes it no less a normal end.
  if (goodbyeFrom_.load() == &connection) {
    OnClosed(connection);
    return;
  }
  OnConnectionLost();
  SetPhoneState(connection, PhoneState::kFailed);
}

void EngineInstance::OnClosed(PhoneConnection& connection) {
  const PhoneId& id = connection.phoneId();
  bool placeholderId = id.bytes[0] <= 4;
  for (size_t i = 1; i < id.bytes.size(); ++i) placeholderId = placeholderId && id.bytes[i] == 0;
  if (placeholderId) {
    SetPhoneState(connection, PhoneState::kFailed);
  } else if (InstanceRegistry::Broker().StateOf(id) != PhoneState::kPasscodeNeeded) {
    // A phone waiting for its passcode keeps that state, so it is not chosen again until the host
    // sets one.
    SetPhoneState(connection, PhoneState::kIdle);
  }
  OnConnectionLost();
}

void EngineInstance::OnPacket(PhoneConnection& connection, const uint8_t* message, size_t length) {
  DispatchMessage(*this, connection, message, length);
}

void EngineInstance::OnAnnouncement(PhoneConnection& connection, const PhoneId& announced,
                                    uint16_t kind, const std::string& name) {
  InstanceRegistry::Broker().OnAnnouncement(connection.phoneId(), announced, kind, name);
}

void EngineInstance::OnGoodbye(PhoneConnection& connection) {
  goodbyeFrom_.store(&connection);
  SetPhoneState(connection, PhoneState::kIdle);
  OnConnectionLost();
}

void EngineInstance::OnHello(PhoneConnection& connection) {
  SendStoredErrorReport(connection);
  const std::vector<uint8_t> answer = session_messages::HelloAnswer();
  connection.Send(answer.data(), answer.size());
}

void EngineInstance::OnStatus(PhoneConnection& connection) { ApplyStreamingRule(connection); }

void EngineInstance::OnAudioPacket(PhoneConnection&, const uint8_t* packet, size_t length) {
  audio_.OnPacket(packet, length);
}

void EngineInstance::OnVideoPacket(PhoneConnection& connection, float timestamp, const uint8_t* data,
                                   size_t length) {
  ApplyStreamingRule(connection);
  video_.Submit(data, length, timestamp);
}

void EngineInstance::OnCapabilities(PhoneConnection& connection, bool hevc,
                                    const std::vector<VideoFormat>& formats) {
  const std::vector<uint8_t> answer =
      session_messages::CapabilitiesAnswer(kProtocolValueA, kProtocolValueB);
  connection.Send(answer.data(), answer.size());
  SendStoredErrorReport(connection);

  // A new stream gets a new decoder. The old one goes first, its thread joined with no lock held:
  // that thread may be inside the host's video-size callback, and the host may be changing the
  // format from there. Until the new decoder is in place there is none, so no format request (it
  // names the decoder's codec) can go out for the old stream.
  video_.EndStream();

  // The connection that delivered the phone's formats is the one everything else goes to.
  activeConnection_.Set(OwnedConnection(connection));
  const std::vector<VideoFormat> sorted = format_choice::SortedPhoneFormats(formats);
  formats_.AskHost(callbacks_, sorted);
  video_.PrepareStream(hevc);
  formats_.BeginStream(sorted, [this] { video_.BeginStream(); });
  // The stream starts: the camera stops showing the placeholder and waits for the phone's pictures.
  if (const std::shared_ptr<VirtualCameraOutput> output = OutputForMedia()) {
    output->SetStreaming(true);
    output->ClearFrameSlots();
  }
}

void EngineInstance::OnPasscodeChallenge(PhoneConnection& connection, uint64_t challenge) {
  SetPhoneState(connection, PhoneState::kPasscodeNeeded);
  const uint64_t key = callbacks_.GetPasscodeKey(connection.phoneId());
  if (key == 0) return;  // the host has no key for this phone: the phone will close
  const std::vector<uint8_t> answer = session_messages::PasscodeAnswer(key, challenge);
  connection.Send(answer.data(), answer.size());
}

void EngineInstance::OnConnectRequest(const PhoneId& phone) {
  // A phone is shown by one instance at a time: take it away from any other first. The scan stops
  // at the first empty slot, as instances are created in index order.
  for (int i = 0; i < InstanceRegistry::kSlots; ++i) {
    std::shared_ptr<EngineInstance> other = InstanceRegistry::Get(i);
    if (other == nullptr) break;
    if (other.get() != this && other->currentPhone() == phone) other->ReleasePhone();
  }
  ReleasePhone();
  // The phone is this instance's before its connection can end: a connection refused at once ends
  // on its receive thread, which forgets the current phone, possibly before ConnectToPhone has
  // returned here. Claiming it only afterwards would leave the instance holding a phone with no
  // connection behind it, never choosing again.
  SetCurrentPhone(phone);
  if (!ConnectToPhone(phone)) SetCurrentPhone(PhoneId{});
}

void EngineInstance::OnRefreshDue() { RefreshPhoneList(); }

void EngineInstance::OnPassEnd() {
  // About once a second: a consumer that now wants another size gets a stream of that size.
  formats_.CheckWantedFormat();
  if (index_ == 0) InstanceRegistry::Broker().CheckAddresses();
}

void EngineInstance::RestartServiceDiscovery() {
  if (index_ == 0) InstanceRegistry::Broker().RestartServiceDiscovery();
}

void EngineInstance::RefreshPhoneList() {
  PhoneBroker& broker = InstanceRegistry::Broker();
  const PhoneId current = currentPhone();
  if (current.IsZero()) {
    // Choice mode: take the best free phone, claimed under the list lock so that no other
    // instance's choice can take the same phone.
    const PhoneId chosen = broker.ChooseFor(index_, [this](const PhoneId& phone) { SetCurrentPhone(phone); });
    if (!chosen.IsZero()) Push(EngineEvent::Connect(chosen));
    return;
  }
  bool reconnectOverUsb = false;
  const std::vector<PhoneListEntry> entries = broker.ListFor(current, overUsb(), &reconnectOverUsb);
  if (reconnectOverUsb) Push(EngineEvent::Connect(current));
  callbacks_.PublishPhoneList(entries);
}

void EngineInstance::SelectPhoneByKey(const std::string& key) {
  const PhoneId chosen = InstanceRegistry::Broker().FindSelectable(key);
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
