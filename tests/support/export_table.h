#pragma once
// The engine's exported functions as a table of pointers, so one scenario can drive the functions
// linked in directly (native) or resolved by name from engine.dll (Windows).
#include <functional>

#include "kavex_engine.h"

using ExportTable = ::KavexEngineExports;

// Drives a whole engine lifetime through the table: four instances from EInitialize(6), opened in
// order, thousands of calls with good and bad indexes, then every slot uninitialised. Runs once per
// process: the open counter never goes back. Reports failures through GoogleTest. whileOpen runs
// once all four instances are open, before they are uninitialised.
void RunExportLifecycle(const ExportTable& exports, int callRounds, const std::function<void()>& whileOpen = {});
