#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "settings_fixture.h"

namespace settings_fixture {

namespace {

// CTest runs test processes side by side, so each process keeps its settings in a folder of its own
// below the one CTest names.
class PrivateSettingsFolder : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* base = std::getenv("KAVEX_SETTINGS_DIR");
    folder_ = std::string(base != nullptr ? base : "/tmp/kavex-test-settings") + "/process-" + std::to_string(getpid());
    setenv("KAVEX_SETTINGS_DIR", folder_.c_str(), 1);
  }
  void TearDown() override {
    const std::string command = "rm -rf '" + folder_ + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", folder_.c_str());
  }

 private:
  std::string folder_;
};

[[maybe_unused]] ::testing::Environment* const g_folder =
    ::testing::AddGlobalTestEnvironment(new PrivateSettingsFolder);

// The test programs run with KAVEX_SETTINGS_DIR pointing into the build tree.
std::string ValuePath() {
  const char* root = std::getenv("KAVEX_SETTINGS_DIR");
  return std::string(root != nullptr ? root : "/nonexistent") + "/Software/Kavex/webcam/erd.value";
}

}  // namespace

void DeleteErrorValue() { std::remove(ValuePath().c_str()); }

void StoreNumericErrorValue() {
  if (FILE* file = std::fopen(ValuePath().c_str(), "wb")) {
    std::fputs("dword\n42", file);
    std::fclose(file);
  }
}

}  // namespace settings_fixture
