#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "common/phone_id.h"
#include "common/video_format.h"
#include "instance/active_connection.h"
#include "instance/camera_sinks.h"
#include "instance/camera_table.h"
#include "instance/engine_event.h"
#include "instance/format_negotiator.h"
#include "instance/host_callbacks.h"
#include "instance/phone_connector.h"
#include "instance/shared_output.h"
#include "instance/worker_loop.h"
#include "media/audio_pipeline.h"
#include "media/video_pipeline.h"
#include "output/virtual_camera_output.h"
#include "platform/sync.h"
#include "session/phone_session.h"
#include "session/session_listener.h"

namespace kavex {

class PhoneBroker;
namespace platform {
class SocketLibrary;
}  // namespace platform

// One virtual camera: it wires its connection side (PhoneConnector: the phone it holds and its
// session), its video and audio pipelines, its format negotiator and its output together, runs its
// worker and keeps the host's callbacks, from open to teardown. What is shared by every camera
// lives in the phone broker, and the other cameras are reached through the camera table; both are
// passed in.
//
// Threads: constructed and opened on host threads (the export calls); destroyed on a host thread,
// or, when the host asks for it from inside a callback, on a teardown thread (TeardownReaper); its
// worker thread (owned by worker_) makes every connection decision, through the connector; other
// instances' worker threads may release its phone (YieldPhone); the session's receive thread calls
// it as the session's listener; host threads set flags and send user actions. Owns its connector,
// its output (shared with the host calls that are using it), its video and audio pipelines, its
// format negotiator and a share of the socket library. Instance 0 attaches the process-wide phone
// broker and runs its discovery while it is open.
//
// Locks, in the order they may nest (each of the others is a leaf):
//   teardownMutex_ -> what Open takes, a failed open's teardown included (no thread that teardown
//   joins takes teardownMutex_);
//   the connector's: the phone list's lock -> the broker's choice mutex -> its phoneMutex_, and its
//   sessionMutex_ -> its phoneMutex_;
//   the negotiator's lock -> the shared output's, the video pipeline's decoder lock, the active
//   connection's and the transport's send mutex.
// No host callback is made while any of them is held, and no thread is joined under any but
// teardownMutex_.
class EngineInstance final : public std::enable_shared_from_this<EngineInstance>,
                             public WorkerHandler,
                             public OutputControlListener,
                             public SessionListener {
 public:
  // Open result when the engine itself failed (no memory, no thread, torn down meanwhile), apart
  // from the output's own results 0 to -6.
  static constexpr int kInternalFailure = KAVEX_OPEN_INTERNAL_FAILURE;

  // Constructs the instance and enters it into the camera table. Background threads that may call
  // back into the instance start only after construction has finished.
  // broker: the process-wide side of finding phones, which every camera shares; cameras: the table
  // of every camera, this one included. Both outlive the instance.
  static std::shared_ptr<EngineInstance> Create(int index, PhoneBroker& broker, CameraTable& cameras,
                                                WorkerTiming& timing = RealWorkerTiming());
  ~EngineInstance() override;
  EngineInstance(const EngineInstance&) = delete;
  EngineInstance& operator=(const EngineInstance&) = delete;

  int index() const { return index_; }
  HostCallbacks& callbacks() { return callbacks_; }

  // Creates and opens the output, starts the worker. 0, or the output's error code (the instance is
  // then stopped and stays so).
  int Open();
  // Full teardown: callbacks cleared first, then everything stopped and released. Safe twice, and
  // from any thread: called on one of the engine's threads (a host callback), it returns at once and
  // the rest runs on a teardown thread, which the host's next EUninitialize or EInitialize joins.
  void Destroy();
  bool opened() const;
  // Whether the output shows a phone's stream (rather than the placeholder).
  bool outputStreaming() const;
  bool workerRunning() const;

  void Push(const EngineEvent& event) { queue_.Push(event); }
  EventQueue& queue() { return queue_; }
  // Every registered instance refreshes, staggered by 0.5 s per index so that lower indexes choose
  // phones first.
  void NotifyListChanged();
  void ReportPhoneState(PhoneState state);
  // The connection ended on its own: forget it and look for a phone again.
  void OnConnectionLost();

  // The connection side: the phone this camera holds and its session (see PhoneConnector).
  PhoneConnector& connector() { return connector_; }
  const PhoneConnector& connector() const { return connector_; }
  void ReleasePhone(bool tellHost = false) { connector_.ReleasePhone(tellHost); }
  bool YieldPhone(const PhoneId& phone) { return connector_.YieldPhone(phone); }
  PhoneId currentPhone() const { return connector_.currentPhone(); }
  void RefreshPhoneList() { connector_.RefreshPhoneList(); }
  void SelectPhoneByKey(const std::string& key) { connector_.SelectPhoneByKey(key); }
  std::vector<VideoFormat> capabilities() const { return formats_.capabilities(); }

  // The host asked to look for phones again (instance 0 only has discovery).
  void RestartServiceDiscovery();

  // Host settings.
  void SetActive(bool active) { active_.store(active); }
  bool active() const { return active_.load(); }
  void SetBlank(bool blank);
  bool blank() const;
  // The host's size preset: stored, and offered to the camera's consumers through the section's
  // format table.
  void SetFormatIndex(int formatIndex) { formats_.SetFormatIndex(formatIndex); }
  int formatIndex() const { return formats_.formatIndex(); }

  ActiveConnection& activeConnection() { return activeConnection_; }

  // WorkerHandler
  void OnConnectRequest(const PhoneId& phone) override;
  void OnRefreshDue() override;
  void OnPassEnd() override;

  // OutputControlListener: the camera driver's control changes go to the phone.
  void OnControlValue(uint32_t value) override;
  void OnControlFlag(bool flag) override;

  // SessionListener, on the current session's receive thread.
  void OnPhoneStateChanged(PhoneState state) override;
  void OnSessionEnded() override { OnConnectionLost(); }
  void OnStreamOffered(PhoneSession& session, PhoneConnection& connection, bool hevc,
                       const std::vector<VideoFormat>& formats) override;
  void OnVideoPacket(float timestamp, const uint8_t* data, size_t length) override;
  void OnAudioPacket(const uint8_t* packet, size_t length) override;
  uint64_t PasscodeKey(const PhoneId& phone) override;
  RelayedMessageSink& relay() override { return callbacks_; }

 private:
  EngineInstance(int index, PhoneBroker& broker, CameraTable& cameras, WorkerTiming& timing);
  // Teardown steps shared by Destroy and a failed Open. Safe twice.
  void Stop();
  // Destroy's work once the callbacks are closed: stops every thread, then releases everything.
  void TearDown();
  std::shared_ptr<VirtualCameraOutput> OutputForMedia() const { return output_.Get(); }

  const int index_;
  WorkerTiming& timing_;
  PhoneBroker& broker_;
  CameraTable& cameras_;

  // The host's side: its callbacks, and whether it shows this camera.
  HostCallbacks callbacks_;
  std::atomic<bool> active_{false};

  // The camera: its output (shared with the host calls that use it) and the pipelines' end in it.
  SharedOutput output_;
  CameraSinks cameraSinks_{output_, callbacks_, active_};

  // The phone's stream: the connection everything goes to (and the acknowledgements), the video
  // and audio pipelines into the camera, the format negotiation.
  ActiveConnection activeConnection_;
  VideoPipeline video_{cameraSinks_, activeConnection_, "kavex-decode-" + std::to_string(index_)};
  AudioPipeline audio_{cameraSinks_};
  FormatNegotiator formats_{output_, video_, activeConnection_, active_};

  // Instance 0: what it attached of the phone broker.
  uint64_t brokerAttachment_ = 0;
  // This camera's share of the socket library: it stays up while any camera has sockets.
  std::shared_ptr<platform::SocketLibrary> socketLibrary_;

  EventQueue queue_;
  // The phone this camera holds and its session; it tells the parts above when it lets go of one.
  PhoneConnector connector_{index_, broker_, cameras_, *this, callbacks_, queue_, activeConnection_, output_};
  mutable platform::Mutex workerMutex_;  // worker_ (the pointer): open and teardown against queries
  std::unique_ptr<WorkerLoop> worker_;

  // Open and the start of Destroy: an instance torn down is never opened, and never torn down twice.
  platform::Mutex teardownMutex_;
  bool destroyed_ = false;
};

}  // namespace kavex
