#pragma once
#include <string>

#include "common/error_codes.h"

namespace kavex {

// The engine's single diagnostic store: one entry "we:<tag>:<code>" kept in the user's settings
// (value "erd" under "Software\Kavex\webcam") until the next phone that connects receives it.
// The first entry wins; later ones are dropped while a value is stored.
// Thread: any. No lock of its own: the settings store is consistent per call, and two racing first
// entries simply leave the later write.
class ErrorLog {
 public:
  struct StoredEntry {
    bool deliver = false;
    std::string text;  // at most 255 bytes
  };

  // detail, when given, is appended to the entry's tag (the sizes or system error involved).
  static void Record(const ErrorCode& entry, const std::string& detail = std::string());
  static void RecordError(const char* tag, int code);
  // Reads and deletes the stored entry. A value that is not a string is delivered as an empty text
  // (and deleted), so it cannot block new entries for ever.
  static StoredEntry TakeStoredEntry();
};

}  // namespace kavex
