#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "export_table.h"

namespace {

std::mutex g_mutex;
std::vector<std::pair<int, int>> g_states;
std::atomic<int> g_formatChoices{0};

void KAVEX_STDCALL OnState(int instance, int value) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_states.emplace_back(instance, value);
}

int KAVEX_STDCALL OnFormatChoice(int, const char*) {
  g_formatChoices.fetch_add(1);
  return 0;
}

uint64_t KAVEX_STDCALL OnPasscodeKey(int, const uint8_t*, const char*) { return 0; }

}  // namespace

void RunExportLifecycle(const ExportTable& e, int callRounds, const std::function<void()>& whileOpen) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_states.clear();  // a run per load of the engine
  }
  g_formatChoices.store(0);
  e.EInitialize(6, &OnState);
  for (int i = 0; i < 4; ++i) {
    e.SetCallback(i, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &OnFormatChoice);
    e.SetIdleCallback(i, &OnPasscodeKey);
  }
  EXPECT_EQ(e.EOpen(), 0);
  EXPECT_EQ(e.EOpen(), 1);
  EXPECT_EQ(e.EOpen(), 2);
  EXPECT_EQ(e.EOpen(), 3);
  EXPECT_EQ(e.EOpen(), -1);
  EXPECT_EQ(e.EOpen(), -1);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    const std::vector<std::pair<int, int>> expected = {{0, 0}, {1, 0}, {2, 0}, {3, 0}};
    EXPECT_EQ(g_states, expected) << "one open result per instance, in index order";
  }

  const uint8_t phone[16] = {1, 2, 3, 4};
  // Mixed argument types and bad indexes, many times: a calling-convention mismatch on i386 moves
  // the stack pointer on every call and brings the process down long before the loop ends.
  const int badIndexes[] = {9, 4, -1};
  for (int round = 0; round < callRounds; ++round) {
    const int index = round % 4;
    const int bad = badIndexes[round % 3];
    e.ButtonEvent(index, 2 + round % 13, round - 500);
    e.ButtonEvent(bad, 7, -5);
    e.EFocus(index, 0.25f, 0.75f, 0x1ff);
    e.EFocus(bad, 1.0f, 2.0f, 1);
    e.EFocusDistance(index, round % 3, 1.5f);
    e.EFocusDistance(bad, 0, 0.0f);
    e.ESetActiveIdx(round % 7);
    e.ESetBlank(round & 1);
    e.ESetVideoFormat(index, round % 12);
    e.ESetVideoFormat(bad, 3);
    e.ESelectPhone(index, "67305985");
    e.ESelectPhone(bad, "1");
    e.SetCallback(bad, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    e.SetIdleCallback(bad, nullptr);
    e.EUninitialize(bad);
    e.ERefresh();
    ASSERT_EQ(e.ESetPasscode(phone, ""), 0xcbf29ce484222325ull);
  }
  e.ESetBlank(0);
  if (whileOpen) whileOpen();

  {
    std::lock_guard<std::mutex> lock(g_mutex);
    EXPECT_EQ(g_states.size(), 4u) << "no phone exists, so no phone state may be reported";
  }
  EXPECT_EQ(g_formatChoices.load(), 0);

  for (int i = 0; i < 4; ++i) e.EUninitialize(i);
  for (int i = 0; i < 4; ++i) e.EUninitialize(i);  // emptied slots: nothing happens
  EXPECT_EQ(e.EOpen(), -1) << "a destroyed slot is never opened again";
  EXPECT_EQ(e.ESetPasscode(phone, "x"), 0u) << "no instance 0: no key";
}
