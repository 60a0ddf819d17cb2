#pragma once
#include <cstddef>
#include <cstdint>

namespace kavex {

// Where the audio pipeline pushes decoded sound (48000 Hz, one channel): the microphone's writer.
// Thread: the receive thread of the connection the sound came on.
class SampleSink {
 public:
  virtual ~SampleSink() = default;
  virtual void WriteSamples(const int16_t* samples, size_t count) = 0;
};

}  // namespace kavex
