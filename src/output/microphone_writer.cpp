#include "output/microphone_writer.h"

#include "output/driver_requests.h"
#include "platform/device_drivers.h"

namespace kavex {

void MicrophoneWriter::Write(const int16_t* samples, size_t count) {
  platform::Device* device = device_.load();
  if (device == nullptr || samples == nullptr) return;
  const uint32_t interval = audio_thinning::DropInterval(history_);
  // Gathered on the stack: no allocation per packet.
  int16_t kept[kMaxSamplesPerRequest];
  size_t gathered = 0;
  for (size_t j = 0; j < count; ++j) {
    if (!audio_thinning::Keeps(j, interval)) continue;
    kept[gathered++] = samples[j];
    if (gathered == kMaxSamplesPerRequest) {
      SendRequest(*device, kept, gathered);
      gathered = 0;
    }
  }
  if (gathered != 0) SendRequest(*device, kept, gathered);
}

void MicrophoneWriter::SendRequest(platform::Device& device, const int16_t* samples, size_t count) {
  const uint32_t bytes = static_cast<uint32_t>(count * sizeof(int16_t));
  uint8_t reply[8] = {};
  uint32_t returned = 0;
  // A failed request loses this sound and leaves the history as it was.
  if (!device.Control(driver_requests::kWrite, samples, bytes, reply, sizeof reply, &returned)) return;
  const uint32_t fill = driver_requests::FieldU32(reply, 4);
  const uint32_t level = fill > bytes ? fill - bytes : 0;
  history_[writeCount_ % audio_thinning::kHistoryLength] = level;
  ++writeCount_;
}

}  // namespace kavex
