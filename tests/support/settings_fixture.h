#pragma once
// Direct access to the user settings store for tests, behind the engine's back: clearing the error
// value and storing one of the wrong type.
namespace settings_fixture {

void DeleteErrorValue();
// Stores "erd" as a 32-bit number instead of a string.
void StoreNumericErrorValue();

}  // namespace settings_fixture
