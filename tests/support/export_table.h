#pragma once
// The engine's exported functions as a table of pointers, so one scenario can drive the functions
// linked in directly (native) or resolved by name from engine.dll (Windows).
#include <functional>

#include "kavex_engine.h"

struct ExportTable {
  EInitializeFn EInitialize = nullptr;
  EOpenFn EOpen = nullptr;
  EUninitializeFn EUninitialize = nullptr;
  SetCallbackFn SetCallback = nullptr;
  SetIdleCallbackFn SetIdleCallback = nullptr;
  ButtonEventFn ButtonEvent = nullptr;
  EFocusFn EFocus = nullptr;
  EFocusDistanceFn EFocusDistance = nullptr;
  ESetActiveIdxFn ESetActiveIdx = nullptr;
  ESetBlankFn ESetBlank = nullptr;
  ESetVideoFormatFn ESetVideoFormat = nullptr;
  ESelectPhoneFn ESelectPhone = nullptr;
  ERefreshFn ERefresh = nullptr;
  ESetPasscodeFn ESetPasscode = nullptr;
};

// Drives a whole engine lifetime through the table: four instances from EInitialize(6), opened in
// order, thousands of calls with good and bad indexes, then every slot uninitialised. Runs once per
// process: the open counter never goes back. Reports failures through GoogleTest. whileOpen runs
// once all four instances are open, before they are uninitialised.
void RunExportLifecycle(const ExportTable& exports, int callRounds,
                        const std::function<void()>& whileOpen = {});
