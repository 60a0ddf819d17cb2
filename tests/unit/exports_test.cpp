#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

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

void KAVEX_STDCALL IgnoreState(int, int) {}
int KAVEX_STDCALL Automatic(int, const char*) { return 0; }
void KAVEX_STDCALL IgnoreList(int, int, const char*, const char*, int) {}

// Every export from several host threads while two others uninitialise the cameras: nothing may be
// used after it is freed or raced (the ASan and TSan tiers). The open counter never goes back, so a
// process whose cameras an earlier case already opened (one Wine process runs every case) skips it.
TEST(Exports, EveryExportRacingTeardownIsSafe) {
  EInitialize(4, &IgnoreState);
  for (int i = 0; i < 4; ++i) {
    SetCallback(i, nullptr, nullptr, &IgnoreList, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &Automatic);
  }
  if (EOpen() != 0) GTEST_SKIP() << "the cameras of this process were opened by an earlier case";
  for (int i = 1; i < 4; ++i) ASSERT_EQ(EOpen(), i);
  const uint8_t phone[16] = {7};
  std::atomic<bool> stop{false};
  std::vector<std::thread> hosts;
  for (int t = 0; t < 4; ++t) {
    hosts.emplace_back([&, t] {
      for (int round = 0; !stop.load(); ++round) {
        const int index = (round + t) % 4;
        SetCallback(index, nullptr, nullptr, &IgnoreList, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                    &Automatic);
        SetIdleCallback(index, nullptr);
        ButtonEvent(index, 3, round);
        EFocus(index, 0.5f, 0.5f, 1);
        EFocusDistance(index, 1, 0.25f);
        ESetActiveIdx(index);
        ESetBlank(round & 1);
        ESetVideoFormat(index, round % 11);
        ESelectPhone(index, "7");
        ERefresh();
        ESetPasscode(phone, "1234");
        std::this_thread::yield();
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::thread other([] {
    EUninitialize(3);
    EUninitialize(1);
  });
  EUninitialize(0);
  EUninitialize(2);
  other.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  stop.store(true);
  for (std::thread& host : hosts) host.join();
  EXPECT_EQ(EOpen(), -1);
}

}  // namespace
