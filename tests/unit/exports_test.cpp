#include <gtest/gtest.h>

#include <memory>

#include "discovery/phone_list.h"
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
  RunExportLifecycle(table, 500, [] {
    // A phone that asked for its passcode may be tried again once the host has set one.
    kavex::PhoneList& list = kavex::PhoneList::Instance();
    auto record = std::make_unique<kavex::PhoneRecord>();
    record->id.bytes[0] = 0x42;
    record->kind = 2;
    record->state = kavex::PhoneState::kPasscodeNeeded;
    list.Append(std::move(record));
    kavex::PhoneId phone;
    phone.bytes[0] = 0x42;
    EXPECT_EQ(ESetPasscode(phone.data(), "a"), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(list.GetPhoneState(phone), kavex::PhoneState::kIdle);
  });
}

}  // namespace
