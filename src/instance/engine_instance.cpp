#include "instance/engine_instance.h"

#include <algorithm>

#include "platform/clock.h"
#include "common/engine_thread.h"
#include "discovery/network_discovery.h"
#include "discovery/phone_list.h"
#include "instance/instance_registry.h"
#include "instance/teardown_reaper.h"
#include "media/format_choice.h"
#include "platform/address_watch.h"
#include "protocol/control_messages.h"
#include "common/error_log.h"
#include "protocol/session_messages.h"
#include "transport/tcp_transport.h"

namespace kavex {

namespace {

constexpr double kSilenceTimeoutSeconds = 10.0;
constexpr double kRefreshStaggerSeconds = 0.5;
constexpr int32_t kLowestChoosableScore = -1000000;

// Held while the automatic choice looks at the other instances, always after the list lock.
std::mutex g_chooseMutex;

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
  if (index_ == 0) {
    networkDiscovery_ = std::make_shared<NetworkDiscovery>(CreateDnsSdDiscovery());
    int error = 0;
    // A request that is merely pending is a started watch: only a refused one comes back null.
    addressWatch_ = platform::AddressChangeWatch::Start(&error);
    if (addressWatch_ == nullptr) ErrorLog::Record(error_codes::kNoAddressWatch);
  }
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
    if (std::shared_ptr<NetworkDiscovery> discovery = Discovery()) discovery->Start(this);
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
  if (std::shared_ptr<NetworkDiscovery> discovery = Discovery()) discovery->Start(nullptr);
  DropTcpTransport();
  // A handler that ran until its receive thread was joined may have set it again.
  activeConnection_.Clear();
  video_.EndStream();  // joins the decoder's thread; no receive thread feeds it any more
  // The list is shared by all instances: any instance going away empties it, and discovery fills it
  // again for those that remain.
  PhoneList::Instance().Clear();
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
  addressWatch_.reset();
  queue_.Clear();
  formats_.Clear();

  std::shared_ptr<NetworkDiscovery> discovery;
  {
    std::lock_guard<std::mutex> lock(discoveryMutex_);
    discovery = std::move(networkDiscovery_);
  }
  discovery.reset();
  if (index_ == 0) PhoneList::Instance().Clear();
  socketLibrary_.reset();
}

void EngineInstance::NotifyListChanged() {
  for (int i = 0; i < InstanceRegistry::kSlots; ++i) {
    if (std::shared_ptr<EngineInstance> instance = InstanceRegistry::Get(i))
      instance->Push(EngineEvent::Refresh(kRefreshStaggerSeconds * i));
  }
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
  ResetOutput();
  Push(EngineEvent::Refresh(0.0));
}

std::shared_ptr<NetworkDiscovery> EngineInstance::Discovery() const {
  std::lock_guard<std::mutex> lock(discoveryMutex_);
  return networkDiscovery_;
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
  overUsb_.store(false);
  SocketAddress peer;
  {
    PhoneList& list = PhoneList::Instance();
    std::lock_guard<std::mutex> lock(list.lock());
    const PhoneRecord* found = nullptr;
    for (const auto& record : list.records()) {
      if (record->id == phone &&
          (record->state == PhoneState::kIdle || record->state == PhoneState::kFailed)) {
        found = record.get();
        break;
      }
    }
    if (found == nullptr) return false;  // unknown, or busy with a session already
    peer = found->ipv4Address.empty() ? found->ipv6Address : found->ipv4Address;
    // Multiplexer handles come from the USB multiplexing monitor, which is not attached yet, so
    // no record carries one. The debug bridge's forward is preferred over the network.
    if (!found->adbAddress.empty()) {
      peer = found->adbAddress;
      overUsb_.store(true);
    }
  }

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
  PhoneList::Instance().ResetStateToIdle(released);
  // Whoever took the phone, this camera no longer shows it: the placeholder, not a frozen picture.
  ResetOutput();
}

std::shared_ptr<PhoneConnection> EngineInstance::OwnedConnection(const PhoneConnection& connection) {
  std::lock_guard<std::mutex> lock(connectionsMutex_);
  if (tcp_.get() == &connection) return tcp_;
  return nullptr;
}

void EngineInstance::SetPhoneState(const SessionInfo& session, PhoneState state) {
  const PhoneList::StateChange change = PhoneList::Instance().SetPhoneState(session, state);
  if (change.pruned) NotifyListChanged();
  if (!change.changed) return;
  if (state != PhoneState::kConnecting) NotifyListChanged();
  ReportPhoneState(state);
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
  if (PhoneList::Instance().GetPhoneState(connection.phoneId()) != PhoneState::kStreaming)
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
  } else if (PhoneList::Instance().GetPhoneState(id) != PhoneState::kPasscodeNeeded) {
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
  PhoneList::Instance().UpdateFromAnnouncement(connection.phoneId(), announced, kind, name);
  NotifyListChanged();
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

void EngineInstance::OnPhoneFound(const PhoneId& id, uint16_t kind, const std::string& name,
                                  const SocketAddress& peer, uint16_t port) {
  // A phone an instance has chosen (still Idle until its connection starts) is never the one the
  // list drops to make room; called under the list lock, which may be followed by a phone mutex.
  const auto held = [](const PhoneId& phone) {
    for (int i = 0; i < InstanceRegistry::kSlots; ++i) {
      const std::shared_ptr<EngineInstance> instance = InstanceRegistry::Get(i);
      if (instance != nullptr && instance->currentPhone() == phone) return true;
    }
    return false;
  };
  PhoneList::Instance().ReportNetworkPhone(id, kind, name, peer, port, held);
  NotifyListChanged();
}

void EngineInstance::OnPhoneFound(const PhoneId& id, uint16_t kind, const std::string& name,
                                  uint16_t localPort) {
  PhoneList::Instance().ReportAdbPhone(id, kind, name, localPort);
  NotifyListChanged();
}

void EngineInstance::OnPhoneLost(const PhoneId& id) {
  PhoneList::Instance().LoseAdbPhone(id);
  if (PhoneList::Instance().Prune()) NotifyListChanged();
}

void EngineInstance::OnPhoneFound(const PhoneId& id, uint16_t kind, uint32_t deviceHandle,
                                  bool overUsb, const std::string& name) {
  PhoneList::Instance().ReportUsbmuxPhone(id, kind, deviceHandle, overUsb, name);
  NotifyListChanged();
}

void EngineInstance::OnPhoneLost(uint32_t deviceHandle) {
  PhoneList::Instance().LoseUsbmuxPhone(deviceHandle);
  if (PhoneList::Instance().Prune()) NotifyListChanged();
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
  if (addressWatch_ == nullptr || !addressWatch_->CheckAndRearm()) return;
  addressChanges_.fetch_add(1);
  // The adapters changed: discovery rebuilds its sockets for the new set.
  if (const std::shared_ptr<NetworkDiscovery> discovery = Discovery()) discovery->Start(this);
}

void EngineInstance::RestartServiceDiscovery() {
  if (const std::shared_ptr<NetworkDiscovery> discovery = Discovery()) discovery->ResetBrowseBudget();
}

void EngineInstance::RefreshPhoneList() {
  PhoneList& list = PhoneList::Instance();
  const PhoneId current = currentPhone();
  if (current.IsZero()) {
    // Choice mode: take the best free phone. The identifier is claimed under the list lock so that
    // no other instance's choice can take the same phone.
    std::lock_guard<std::mutex> lock(list.lock());
    if (const PhoneRecord* best = ChooseBestPhoneLocked()) {
      SetCurrentPhone(best->id);
      Push(EngineEvent::Connect(best->id));
    }
    return;
  }

  std::vector<PhoneListEntry> entries;
  bool reconnectOverUsb = false;
  {
    std::lock_guard<std::mutex> lock(list.lock());
    for (const auto& record : list.records()) {
      if (record->id == current && record->state == PhoneState::kStreaming) {
        entries.push_back({PhoneKey(record->id), record->name + (overUsb() ? " [USB]" : " [WiFi]"), 1});
        // The phone streams over the network but a cable now reaches it: move it to the cable.
        if (!overUsb() && record->usbAvailable) reconnectOverUsb = true;
      } else if ((record->state == PhoneState::kIdle || record->state == PhoneState::kStreaming ||
                  record->state == PhoneState::kPasscodeNeeded) &&
                 !record->name.empty()) {
        entries.push_back({PhoneKey(record->id), record->name, 0});
      }
    }
  }
  if (reconnectOverUsb) Push(EngineEvent::Connect(current));
  callbacks_.PublishPhoneList(entries);
}

const PhoneRecord* EngineInstance::ChooseBestPhoneLocked() {
  // Instances take phones in index order: wait until every lower index shows one.
  std::vector<PhoneId> taken;
  for (int i = 0; i < InstanceRegistry::kSlots; ++i) {
    std::shared_ptr<EngineInstance> instance = InstanceRegistry::Get(i);
    if (instance == nullptr) {
      if (i < index_) return nullptr;
      break;
    }
    const PhoneId phone = instance->currentPhone();
    if (i < index_ && phone.IsZero()) return nullptr;
    taken.push_back(phone);
  }

  std::lock_guard<std::mutex> choose(g_chooseMutex);
  const PhoneRecord* best = nullptr;
  int32_t bestScore = 0;
  for (const auto& record : PhoneList::Instance().records()) {
    if (!record->Selectable()) continue;
    if (record->state != PhoneState::kIdle && record->state != PhoneState::kFailed) continue;
    bool isTaken = false;
    for (const PhoneId& phone : taken) isTaken = isTaken || phone == record->id;
    if (isTaken) continue;
    const int32_t score = std::max(record->networkScore, record->usbScore);
    if (best == nullptr || score > bestScore) {
      best = record.get();
      bestScore = score;
    }
  }
  return best != nullptr && bestScore > kLowestChoosableScore ? best : nullptr;
}

void EngineInstance::SelectPhoneByKey(const std::string& key) {
  PhoneId chosen;
  {
    PhoneList& list = PhoneList::Instance();
    std::lock_guard<std::mutex> lock(list.lock());
    for (const auto& record : list.records()) {
      if (record->Selectable() && PhoneKey(record->id) == key) {
        chosen = record->id;
        break;
      }
    }
  }
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
