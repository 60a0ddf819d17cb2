#include "instance/engine_instance.h"

#include <algorithm>

#include "broker/phone_broker.h"
#include "common/engine_thread.h"
#include "common/error_log.h"
#include "common/trace.h"
#include "media/format_choice.h"
#include "platform/address_watch.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "protocol/control_messages.h"

namespace kavex {

std::shared_ptr<EngineInstance> EngineInstance::Create(int index, PhoneBroker& broker, CameraTable& cameras,
                                                       WorkerTiming& timing) {
  std::shared_ptr<EngineInstance> instance(new EngineInstance(index, broker, cameras, timing));
  cameras.Enter(index, instance);
  // Discovery threads that report into the phone list start here, once the instance is complete
  // and registered: a report must never reach a half-built instance.
  return instance;
}

// The socket library's share is taken before any socket of this instance is made, and let go only
// at the end of TearDown.
EngineInstance::EngineInstance(int index, PhoneBroker& broker, CameraTable& cameras, WorkerTiming& timing)
    : index_(index),
      timing_(timing),
      broker_(broker),
      cameras_(cameras),
      callbacks_(index),
      socketLibrary_(broker.ShareSockets()) {
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
  connector_.CloseSessions();
  if (worker != nullptr) worker->Stop();
  activeConnection_.Clear();
  if (index_ == 0) broker_.StopDiscovery(brokerAttachment_);
  // Only this camera's phone is let go. The list is every camera's: emptying it here would lose
  // what only a new subscription or attachment reports again (an iPhone on the cable), so the
  // cameras that remain could never take such a phone again. Instance 0's release empties it.
  connector_.LetGoOfPhone();
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
  // only after a Destroy anyway, as the camera table holds the instance until then.
  if (OnEngineThread()) {
    if (std::shared_ptr<EngineInstance> self = weak_from_this().lock()) {
      KAVEX_TRACE_INFO("instance", "camera %d: torn down from a callback, on a teardown thread", index_);
      cameras_.TearDownLater([self] { self->TearDown(); });
      return;
    }
  }
  TearDown();
}

void EngineInstance::TearDown() {
  // Declared first so that it is released last: if the camera table held the final reference, the
  // object goes away only after this function has finished with it.
  std::shared_ptr<EngineInstance> tableReference;
  Stop();

  tableReference = cameras_.Remove(index_, this);
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

void EngineInstance::NotifyListChanged() { cameras_.RefreshAll(); }

void EngineInstance::OnPhoneStateChanged(PhoneState state) {
  KAVEX_TRACE_INFO("instance", "camera %d: phone state %d", index_, static_cast<int>(state));
  ReportPhoneState(state);
}

void EngineInstance::ReportPhoneState(PhoneState state) { callbacks_.ReportState(static_cast<int>(state)); }

void EngineInstance::OnConnectionLost() {
  activeConnection_.Clear();
  connector_.ForgetCurrentPhone();
  // What the phone sent before it left is not decoded into a camera that has moved on: its decoder
  // goes first (joined here, on the receive thread that ended, with no lock held, as when a new
  // stream replaces it), then the placeholder comes back.
  video_.EndStream();
  output_.ShowPlaceholder();
  Push(EngineEvent::Refresh(0.0));
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
  activeConnection_.Set(connector_.ConnectionOf(session));
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

void EngineInstance::OnConnectRequest(const PhoneId& phone) { connector_.TakePhone(phone); }

void EngineInstance::OnRefreshDue() { connector_.RefreshPhoneList(); }

void EngineInstance::OnPassEnd() {
  // About once a second: a consumer that now wants another size gets a stream of that size.
  formats_.CheckWantedFormat();
  if (index_ == 0) broker_.CheckAddresses();
}

void EngineInstance::RestartServiceDiscovery() {
  if (index_ == 0) broker_.RestartServiceDiscovery();
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
