#pragma once
#include <atomic>
#include <mutex>
#include <vector>

#include "common/video_format.h"
#include "platform/sync.h"

namespace kavex {

class ActiveConnection;
class HostNotifier;
class SharedOutput;
class VideoPipeline;

// The format the phone streams for one camera. The phone's capabilities, the host's size preset
// (ESetVideoFormat), what the camera's consumer reads and whether the host shows this camera decide
// it; a request goes out when a new stream starts, when the host changes its preset, and when the
// once-a-second check finds the wanted format moved. Owns the current capabilities, the preset and
// the last request.
//
// Thread: the receive thread (a new stream), host threads (the preset), the worker (the check).
// Every request is computed and sent under mutex_, so none overtakes another; under it the output's
// format and the pipeline's codec are read and the active connection sends (leaf locks). No host
// callback is made under it.
class FormatNegotiator {
 public:
  FormatNegotiator(SharedOutput& output, VideoPipeline& video, ActiveConnection& connection,
                   const std::atomic<bool>& shown);

  // Before the camera opens: the phone's default until it lists its own.
  void Reset();
  void Clear();

  // A new stream: the host chooses its preset from the list this phone and driver allow (with no
  // lock held: it may call back into the engine).
  void AskHost(HostNotifier& host, const std::vector<VideoFormat>& sortedFormats);
  // Then the phone's formats, the new stream's decoder (installDecoder) and the first request
  // change together: no request computed for the old stream can follow.
  template <typename InstallDecoder>
  void BeginStream(const std::vector<VideoFormat>& sortedFormats, InstallDecoder&& installDecoder) {
    std::lock_guard<platform::Mutex> lock(mutex_);
    capabilities_ = sortedFormats;
    installDecoder();
    RequestLocked(/*always=*/true);
  }

  // The host's size preset: offered to the camera's consumers through the section's format table,
  // and streamed at once.
  void SetFormatIndex(int formatIndex);
  int formatIndex() const { return formatIndex_.load(); }
  // The worker's regular look: a new request when the wanted format moved.
  void CheckWantedFormat();
  std::vector<VideoFormat> capabilities() const;

 private:
  VideoFormat WantedFormatLocked();
  // Sends the wanted format when it moved since the last request, or always; nothing without a
  // decoder (the request names its codec: better none than garbage).
  void RequestLocked(bool always);

  SharedOutput& output_;
  VideoPipeline& video_;
  ActiveConnection& connection_;
  const std::atomic<bool>& shown_;
  std::atomic<int> formatIndex_{0};
  mutable platform::Mutex mutex_;  // capabilities_, lastRequested_ and every request
  std::vector<VideoFormat> capabilities_;
  VideoFormat lastRequested_;
};

}  // namespace kavex
