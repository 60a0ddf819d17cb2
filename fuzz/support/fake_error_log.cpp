// The error log for fuzz targets: in memory, no settings store.
#include "support/fake_error_log.h"

#include "common/error_log.h"

namespace kavex {

namespace fuzz {

RecordedErrors& Recorded() {
  static RecordedErrors recorded;
  return recorded;
}

void ClearRecorded() { Recorded() = RecordedErrors{}; }

}  // namespace fuzz

void ErrorLog::Record(const ErrorCode& entry, const std::string& detail) {
  fuzz::RecordedErrors& recorded = fuzz::Recorded();
  ++recorded.count;
  recorded.lastCode = entry.code;
  recorded.lastEntry = std::string(entry.tag) + detail;
}

void ErrorLog::RecordError(const char* tag, int code) { Record(ErrorCode{tag, code}); }

ErrorLog::StoredEntry ErrorLog::TakeStoredEntry() { return StoredEntry{}; }

}  // namespace kavex
