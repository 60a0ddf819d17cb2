// Compiled straight into engine-simdrivers.dll (never into an archive, where the linker would drop
// it): while the DLL is loaded, the engine's devices are the simulated ones, configured by the
// KAVEX_SIMDRIVERS_* variables of the loading process.
#include <cstdio>
#include <string>
#include <vector>

#include "simulated_drivers.h"
#include "simulated_drivers_config.h"

namespace kavex::simdrivers {
namespace {

// Constructed and destroyed under the loader lock (DLL attach and detach): it only reads the
// environment and sets a pointer; no threads, no libraries.
class SimulatedDriversInstaller {
 public:
  SimulatedDriversInstaller() : drivers_(ReadConfig()) { platform::SetActiveDeviceDrivers(&drivers_); }
  ~SimulatedDriversInstaller() { platform::SetActiveDeviceDrivers(nullptr); }

 private:
  static SimulatedDriversConfig ReadConfig() {
    std::vector<std::string> problems;
    SimulatedDriversConfig config = ConfigFromEnvironment(&problems);
    // A mistyped variable would otherwise pass unnoticed in a demo or an end-to-end run.
    for (const std::string& problem : problems) std::fprintf(stderr, "engine-simdrivers: %s\n", problem.c_str());
    return config;
  }

  SimulatedDrivers drivers_;
};

SimulatedDriversInstaller installer;

}  // namespace
}  // namespace kavex::simdrivers
