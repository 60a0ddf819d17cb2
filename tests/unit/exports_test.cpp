#include <gtest/gtest.h>

#include "export_table.h"

namespace {

// The exports linked in directly; the Windows build also drives them through engine.dll.
TEST(Exports, WholeLifecycleWithGoodAndBadIndexes) {
  ExportTable table;
  table.EInitialize = &EInitialize;
  table.EOpen = &EOpen;
  table.EUninitialize = &EUninitialize;
  table.SetCallback = &SetCallback;
  table.SetIdleCallback = &SetIdleCallback;
  table.ButtonEvent = &ButtonEvent;
  table.EFocus = &EFocus;
  table.EFocusDistance = &EFocusDistance;
  table.ESetActiveIdx = &ESetActiveIdx;
  table.ESetBlank = &ESetBlank;
  table.ESetVideoFormat = &ESetVideoFormat;
  table.ESelectPhone = &ESelectPhone;
  table.ERefresh = &ERefresh;
  table.ESetPasscode = &ESetPasscode;
  RunExportLifecycle(table, 500);
}

}  // namespace
