#include "instance/camera_sinks.h"

extern "C" {
#include <libavutil/frame.h>
}

#include "instance/host_notifier.h"
#include "instance/shared_output.h"

namespace kavex {

bool CameraSinks::OnPicture(const AVFrame& picture, float timestamp) {
  const std::shared_ptr<VirtualCameraOutput> output = output_.Get();
  if (output == nullptr) return false;
  // A picture the camera could not take (no size yet, a layout or size it cannot hold, a scaler
  // that refused it) is no picture: neither the preview nor the host hears of it.
  if (!output->WriteDecodedPicture(picture, timestamp)) return false;
  if (shown_.load()) previewWriter_.Write(picture);
  host_.ReportVideoSize(picture.width, picture.height);
  return true;
}

void CameraSinks::OnPictureLost() {
  if (const std::shared_ptr<VirtualCameraOutput> output = output_.Get()) output->ClearFrameSlots();
}

void CameraSinks::WriteSamples(const int16_t* samples, size_t count) {
  // The output exists from before the first connection until after the last receive thread has
  // been joined; the reference keeps a teardown from freeing it under a write anyway.
  if (const std::shared_ptr<VirtualCameraOutput> output = output_.Get()) output->WriteAudio(samples, count);
}

}  // namespace kavex
