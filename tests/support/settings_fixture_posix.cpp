#include <cstdio>
#include <cstdlib>
#include <string>

#include "settings_fixture.h"

namespace settings_fixture {

namespace {

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
