#include "test_drivers.h"

#include <gtest/gtest.h>

#include <memory>

#include "output/device_paths.h"
#include "scoped_simulated_drivers.h"

namespace test_drivers {
namespace {

std::unique_ptr<kavex::simdrivers::ScopedSimulatedDrivers> gDrivers;

class DriversEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    gDrivers = std::make_unique<kavex::simdrivers::ScopedSimulatedDrivers>(QuietConfig());
    // Instance 0's open finds the devices for all; tests that open another instance alone find
    // them already found.
    kavex::device_paths::Scan(gDrivers->drivers());
  }
  void TearDown() override { gDrivers.reset(); }
};

// Registered before main runs, so every test program that links this file gets the drivers.
::testing::Environment* const gRegistered = ::testing::AddGlobalTestEnvironment(new DriversEnvironment);

}  // namespace

kavex::simdrivers::SimulatedDriversConfig QuietConfig() {
  kavex::simdrivers::SimulatedDriversConfig config;
  for (auto& camera : config.cameras) camera.info.consumerActive = 0;
  return config;
}

kavex::simdrivers::SimulatedDrivers& Drivers() { return gDrivers->drivers(); }

}  // namespace test_drivers
