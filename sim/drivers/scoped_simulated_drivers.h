#pragma once
#include "simulated_drivers.h"

namespace kavex::simdrivers {

// Simulated drivers that the engine in this process talks to for as long as the object lives;
// the system's drivers come back when it goes.
// Thread: created and destroyed by the test's thread while no engine output is open.
class ScopedSimulatedDrivers {
 public:
  explicit ScopedSimulatedDrivers(SimulatedDriversConfig config = {});
  ~ScopedSimulatedDrivers();
  ScopedSimulatedDrivers(const ScopedSimulatedDrivers&) = delete;
  ScopedSimulatedDrivers& operator=(const ScopedSimulatedDrivers&) = delete;

  SimulatedDrivers& drivers() { return drivers_; }
  SimulatedDrivers* operator->() { return &drivers_; }

 private:
  SimulatedDrivers drivers_;
};

}  // namespace kavex::simdrivers
