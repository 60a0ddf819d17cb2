#pragma once
#include "simulated_drivers.h"

// The simulated camera and microphone drivers that every engine instance of a test program meets:
// all eight devices present, nobody reading the cameras (so feeders only poll). Installed for the
// whole program by a GoogleTest environment; tests may change the configuration and must put it
// back.
namespace test_drivers {

kavex::simdrivers::SimulatedDriversConfig QuietConfig();
kavex::simdrivers::SimulatedDrivers& Drivers();

}  // namespace test_drivers
