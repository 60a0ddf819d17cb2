// The preview's exports where they cannot draw: before any setter, and (natively) without
// Direct3D 9. The real surface is tested under Wine on an X server.
#include <gtest/gtest.h>

#include "kavex_engine.h"

namespace {

constexpr int32_t kFail = static_cast<int32_t>(0x80004005);

TEST(PreviewExports, CallsInAnyOrderAreSafeAndWithoutDirect3DNoSurfaceIsGiven) {
  // Render and Destroy before anything else have no manager to touch.
  EXPECT_EQ(Render(), 0);
  Destroy();
  EXPECT_EQ(Render(), 0);

  EXPECT_EQ(SetSize(640, 480), 0);
  EXPECT_EQ(SetAlpha(7), 0);
  EXPECT_EQ(SetNumDesiredSamples(4), 0);
  EXPECT_EQ(SetAdapter(-100000, -100000), 0);
  EXPECT_EQ(Render(), 0) << "no renderer yet";
#ifndef _WIN32
  void* surface = reinterpret_cast<void*>(1);
  EXPECT_EQ(GetBackBufferNoRef(&surface), kFail);
  EXPECT_EQ(surface, nullptr);
  EXPECT_EQ(GetBackBufferNoRef(nullptr), kFail);
#endif
  Destroy();
  Destroy();
  EXPECT_EQ(SetSize(1, 1), 0) << "a setter after Destroy starts afresh";
  Destroy();
}

}  // namespace
