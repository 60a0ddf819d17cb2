#pragma once
#include <string>

namespace kavex::fuzz {

// What the engine recorded in its error log during one input (the fake keeps it in memory instead
// of the user's settings, so a run writes no file and every input starts the same).
struct RecordedErrors {
  int count = 0;
  int lastCode = 0;
  std::string lastEntry;  // "<tag><detail>"
};

RecordedErrors& Recorded();
void ClearRecorded();

}  // namespace kavex::fuzz
