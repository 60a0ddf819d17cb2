#include "scoped_simulated_drivers.h"

namespace kavex::simdrivers {

ScopedSimulatedDrivers::ScopedSimulatedDrivers(SimulatedDriversConfig config) : drivers_(std::move(config)) {
  platform::SetActiveDeviceDrivers(&drivers_);
}

ScopedSimulatedDrivers::~ScopedSimulatedDrivers() { platform::SetActiveDeviceDrivers(nullptr); }

}  // namespace kavex::simdrivers
