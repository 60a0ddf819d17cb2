#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "device_records.h"
#include "simulated_drivers_config.h"

namespace kavex::simdrivers {

// One virtual microphone's driver: answers its control codes and keeps its fill level, a backlog of
// bytes that every write adds to and that plays out at 48,000 samples a second.
// Thread: not thread-safe; SimulatedDrivers calls it under its lock. Owns its record.
class SimulatedMicrophone {
 public:
  using Clock = std::chrono::steady_clock;

  // The first handle was opened: the backlog starts from the configured level.
  void FirstOpen(const MicrophoneConfig& config, Clock::time_point now);

  RequestOutcome Control(const MicrophoneConfig& config, size_t sampleCap, uint32_t code, const void* input,
                         uint32_t inputLength, void* output, uint32_t outputLength, uint32_t* returned,
                         Clock::time_point now);

  uint32_t Backlog(Clock::time_point now) const;
  void SetBacklog(uint32_t bytes, Clock::time_point now);

  MicrophoneRecord& record() { return record_; }
  const MicrophoneRecord& record() const { return record_; }

 private:
  RequestOutcome Write(const MicrophoneConfig& config, size_t sampleCap, const uint8_t* input,
                       uint32_t inputLength, uint8_t* output, uint32_t outputLength, uint32_t* returned,
                       Clock::time_point now);
  double Remaining(Clock::time_point now) const;

  MicrophoneRecord record_;
  // Bytes not yet played at backlogAt_; fractions of a byte are kept so that many small drains
  // add up to the right rate.
  double backlog_ = 0;
  Clock::time_point backlogAt_{};
};

}  // namespace kavex::simdrivers
