#pragma once
// What a host heard from camera 0 in an end-to-end program: the state reports and the phone list
// entries, with the time each came, for the cases to wait on and to print when they fail.
// Thread: the callbacks run on engine threads; the queries on the test's.
#include <string>

#include "engine_library.h"
#include "kavex_engine.h"
#include "wait_until.h"

namespace hostlog {

using testkit::Clock;

void KAVEX_STDCALL OnState(int instance, int value);
void KAVEX_STDCALL OnPhoneList(int instance, int index, const char* key, const char* displayName, int selected);
int KAVEX_STDCALL OnFormatChoice(int instance, const char* formats);

// The first state report of this value after `since` (the open result counts as state 0).
bool StateSince(int value, Clock::time_point since, Clock::time_point* at = nullptr);
// The last state reported, or -1; and when.
int LastState();
Clock::time_point LastStateAt();
// A list entry with this name, shown as selected, after `since`.
bool SelectedEntrySince(const std::string& displayName, Clock::time_point since);
// Everything heard, one line each, in seconds from origin.
std::string History(Clock::time_point origin);

// What a host does: one camera, these callbacks, open it. The open result (state 0) must have come
// by the time EOpen returns; *opened is when the open began.
bool OpenCameraZero(const testkit::EngineExports& exports, Clock::time_point* opened);

// The value of an environment variable, "" when unset.
std::string Env(const char* name);

}  // namespace hostlog
