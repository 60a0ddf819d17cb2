#pragma once
#include <cstddef>
#include <cstdint>

#include "device_records.h"
#include "simulated_drivers_config.h"

namespace kavex::simdrivers {

// One virtual microphone's driver: answers its control codes and keeps its fill level, a backlog of
// bytes that every write adds to and that plays out at 48,000 samples a second. Every call takes
// the time (seconds on the drivers' clock) at which it happens.
// Thread: not thread-safe; SimulatedDrivers calls it under its lock. Owns its record.
class SimulatedMicrophone {
 public:
  // The first handle was opened: the backlog starts from the configured level.
  void FirstOpen(const MicrophoneConfig& config, double now);

  RequestOutcome Control(const MicrophoneConfig& config, size_t sampleCap, uint32_t code, const void* input,
                         uint32_t inputLength, void* output, uint32_t outputLength, uint32_t* returned,
                         double now);

  uint32_t Backlog(double now) const;
  void SetBacklog(uint32_t bytes, double now);

  MicrophoneRecord& record() { return record_; }
  const MicrophoneRecord& record() const { return record_; }

 private:
  RequestOutcome Write(const MicrophoneConfig& config, size_t sampleCap, const uint8_t* input,
                       uint32_t inputLength, uint8_t* output, uint32_t outputLength, uint32_t* returned,
                       double now);
  double Remaining(double now) const;

  MicrophoneRecord record_;
  // Bytes not yet played at backlogAt_; fractions of a byte are kept so that many small drains
  // add up to the right rate.
  double backlog_ = 0;
  double backlogAt_ = 0;
};

}  // namespace kavex::simdrivers
