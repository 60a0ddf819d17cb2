#include "instance/format_negotiator.h"

#include "instance/active_connection.h"
#include "instance/host_notifier.h"
#include "instance/shared_output.h"
#include "media/format_choice.h"
#include "media/format_presets.h"
#include "media/video_pipeline.h"
#include "platform/sync.h"
#include "protocol/media_messages.h"

namespace kavex {

FormatNegotiator::FormatNegotiator(SharedOutput& output, VideoPipeline& video, ActiveConnection& connection,
                                   const std::atomic<bool>& shown)
    : output_(output), video_(video), connection_(connection), shown_(shown) {}

void FormatNegotiator::Reset() {
  std::lock_guard<platform::Mutex> lock(mutex_);
  capabilities_.assign(1, VideoFormat{640, 480, 30.0f});
}

void FormatNegotiator::Clear() {
  std::lock_guard<platform::Mutex> lock(mutex_);
  capabilities_.clear();
}

void FormatNegotiator::AskHost(HostNotifier& host, const std::vector<VideoFormat>& sortedFormats) {
  const std::shared_ptr<VirtualCameraOutput> output = output_.Get();
  // Portrait presets only where the driver can offer them and the phone can fill them.
  const bool portrait = output != nullptr && output->sectionMode() && output->FormatTableCapacity() > 0 &&
                        format_choice::ListsPortrait(sortedFormats);
  formatIndex_.store(host.ChooseFormat(format_choice::ChoiceText(portrait), formatIndex_.load()));
}

void FormatNegotiator::SetFormatIndex(int formatIndex) {
  formatIndex_.store(formatIndex);
  const std::shared_ptr<VirtualCameraOutput> output = output_.Get();
  if (output != nullptr && output->sectionMode()) {
    // The driver offers its consumers the chosen size, at 30 and 60 frames a second.
    std::vector<VideoFormat> rows;
    const VideoFormat* preset = FormatPreset(formatIndex);
    if (preset != nullptr && output->FormatTableCapacity() > 0) {
      rows.push_back(VideoFormat{preset->width, preset->height, 30.0f});
      rows.push_back(VideoFormat{preset->width, preset->height, 60.06f});
    }
    output->WriteFormatTable(rows);
  }
  // The phone streams the new choice at once; the decoder takes the new size as it comes.
  std::lock_guard<platform::Mutex> lock(mutex_);
  if (connection_.Get() != nullptr) {
    RequestLocked(/*always=*/true);
  } else {
    lastRequested_ = WantedFormatLocked();
  }
}

void FormatNegotiator::CheckWantedFormat() {
  if (connection_.Get() == nullptr) return;
  std::lock_guard<platform::Mutex> lock(mutex_);
  RequestLocked(/*always=*/false);
}

std::vector<VideoFormat> FormatNegotiator::capabilities() const {
  std::lock_guard<platform::Mutex> lock(mutex_);
  return capabilities_;
}

VideoFormat FormatNegotiator::WantedFormatLocked() {
  format_choice::Demand demand;
  demand.instanceActive = shown_.load();
  demand.choice = formatIndex_.load();
  if (const std::shared_ptr<VirtualCameraOutput> output = output_.Get()) {
    const OutputFormat current = output->format();
    demand.consumerActive = output->ConsumerActive();
    demand.outputWidth = current.width;
    demand.outputHeight = current.height;
    demand.outputFps = current.fps;
  }
  return format_choice::Choose(capabilities_, demand);
}

void FormatNegotiator::RequestLocked(bool always) {
  const VideoFormat wanted = WantedFormatLocked();
  if (!always && format_choice::SameFormat(wanted, lastRequested_)) return;
  lastRequested_ = wanted;
  const VideoCodec codec = video_.codec();
  if (codec == VideoCodec::kNone) return;
  const uint32_t code = codec == VideoCodec::kH264 ? media_messages::kCodecH264 : media_messages::kCodecHevc;
  const auto request = media_messages::FormatRequest(code, wanted);
  connection_.Send(request.data(), request.size());
}

}  // namespace kavex
