#include "instance/engine_instance.h"

#include "discovery/phone_list.h"
#include "instance/instance_registry.h"
#include "media/decoded_frame_pair.h"
#include "media/opus_audio_decoder.h"
#include "platform/address_watch.h"
#include "protocol/control_messages.h"
#include "protocol/error_log.h"

namespace kavex {

namespace {

constexpr int kIoPending = 997;  // the normal answer to an address-change request
constexpr double kRefreshStaggerSeconds = 0.5;
constexpr uint32_t kSelectableKindNetwork = 2;
constexpr uint32_t kSelectableKindServiceDiscovery = 7;
constexpr int32_t kLowestChoosableScore = -1000000;

// Held while the automatic choice looks at the other instances, always after the list lock.
std::mutex g_chooseMutex;

bool Selectable(const PhoneRecord& record) {
  return record.kind == kSelectableKindNetwork || record.kind == kSelectableKindServiceDiscovery;
}

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
  // Protocol layer.
  audioDecoder_ = std::make_unique<OpusAudioDecoder>();
  audioBuffer_.assign(kAudioBufferSamples, 0);

  // Media layer.
  framePair_ = std::make_unique<DecodedFramePair>();

  if (index_ == 0) {
    socketLibrary_ = std::make_unique<platform::SocketLibrary>();
    int error = 0;
    addressWatch_ = platform::AddressChangeWatch::Start(&error);
    if (addressWatch_ == nullptr && error != kIoPending) ErrorLog::RecordError("qc", 76);
  }
}

EngineInstance::~EngineInstance() { Destroy(); }

int EngineInstance::Open() {
  std::unique_lock<std::mutex> lock(outputMutex_);
  if (output_ != nullptr) return 0;  // opened once; the table never opens an instance twice
  output_ = std::make_unique<VirtualCameraOutput>(index_, this);
  capabilities_.push_back(VideoFormat{640, 480, 30.0f});
  const int result = output_->Open();
  lock.unlock();
  if (result != 0) {
    Stop();
    return result;
  }
  try {
    worker_ = std::make_unique<WorkerLoop>(queue_, *this, timing_);
    worker_->Start();
  } catch (...) {
    // Out of threads or memory: the host learns it through the open result.
    ErrorLog::RecordError("ei", 41);
    Stop();
    return kWorkerStartFailed;
  }
  return 0;
}

bool EngineInstance::opened() const {
  std::lock_guard<std::mutex> lock(outputMutex_);
  return output_ != nullptr;
}

bool EngineInstance::workerRunning() const { return worker_ != nullptr && worker_->running(); }

void EngineInstance::Stop() {
  if (worker_ != nullptr) {
    worker_->Stop();
    worker_.reset();
  }
  activeConnection_.Clear();
  // The list is shared by all instances: any instance going away empties it, and discovery fills it
  // again for those that remain.
  PhoneList::Instance().Clear();
}

void EngineInstance::Destroy() {
  // Declared first so that it is released last: if the registry held the final reference, the
  // object goes away only after this function has finished with it.
  std::shared_ptr<EngineInstance> registryReference;
  std::lock_guard<std::mutex> teardown(teardownMutex_);
  if (destroyed_) return;
  destroyed_ = true;

  callbacks_.Clear();  // nothing reaches the host while the instance comes apart
  Stop();

  registryReference = InstanceRegistry::Remove(index_, this);
  {
    std::lock_guard<std::mutex> lock(outputMutex_);
    output_.reset();
  }
  addressWatch_.reset();
  socketLibrary_.reset();
  queue_.Clear();
  capabilities_.clear();
  framePair_.reset();

  audioDecoder_.reset();
  if (index_ == 0) PhoneList::Instance().Clear();
}

void EngineInstance::NotifyListChanged() {
  for (int i = 0; i < InstanceRegistry::kSlots; ++i) {
    if (std::shared_ptr<EngineInstance> instance = InstanceRegistry::Get(i))
      instance->Push(EngineEvent::Refresh(kRefreshStaggerSeconds * i));
  }
}

void EngineInstance::ReportPhoneState(PhoneState state) {
  CallHostState(index_, static_cast<int>(state));
}

void EngineInstance::OnConnectionLost() {
  activeConnection_.Clear();
  SetCurrentPhone(PhoneId{});
  {
    std::lock_guard<std::mutex> lock(outputMutex_);
    if (output_ != nullptr) output_->SetStreaming(false);
  }
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
  overUsb_.store(false);
  // The paths to a phone (TCP, the multiplexing service) come with the transports; without them
  // no phone can be reached and the attempt changes nothing.
  (void)phone;
  return false;
}

void EngineInstance::ReleasePhone() {
  activeConnection_.Clear();
  SetCurrentPhone(PhoneId{});
  // The identifier of the connection being closed; none exists without a transport.
  const PhoneId released;
  PhoneList::Instance().ResetStateToIdle(released);
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
  SetCurrentPhone(ConnectToPhone(phone) ? phone : PhoneId{});
}

void EngineInstance::OnRefreshDue() { RefreshPhoneList(); }

void EngineInstance::OnPassEnd() {
  if (addressWatch_ != nullptr && addressWatch_->CheckAndRearm()) addressChanges_.fetch_add(1);
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
    if (!Selectable(*record)) continue;
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
      if (Selectable(*record) && PhoneKey(record->id) == key) {
        chosen = record->id;
        break;
      }
    }
  }
  if (!chosen.IsZero()) Push(EngineEvent::Connect(chosen));
}

void EngineInstance::SetBlank(bool blank) {
  std::lock_guard<std::mutex> lock(outputMutex_);
  if (output_ != nullptr) output_->SetBlank(blank);
}

bool EngineInstance::blank() const {
  std::lock_guard<std::mutex> lock(outputMutex_);
  return output_ != nullptr && output_->blank();
}

void EngineInstance::OnControlValue(int32_t value) {
  activeConnection_.Send(control_messages::ControlChange(4, value));
}

void EngineInstance::OnControlFlag(bool flag) {
  activeConnection_.Send(control_messages::ControlChange(2, flag ? 1 : 0));
}

}  // namespace kavex
