#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/phone_id.h"

namespace kavex {

// What the sessions last reported for a phone. The values reach the host unchanged.
enum class PhoneState : int32_t {
  kIdle = 0,
  kFailed = 1,
  kConnecting = 2,
  kStreaming = 3,
  kPasscodeNeeded = 4,
};

// One phone, whatever path found it. Read and written only under the list lock.
struct PhoneRecord {
  uint32_t kind = 0;
  PhoneId id;
  std::string name;  // at most 255 bytes
  bool usbAvailable = false;  // reachable over a cable right now
  PhoneState state = PhoneState::kIdle;
  int32_t networkScore = 0;
  int32_t usbScore = 0;
};

// One line of the list the host is shown.
struct PhoneListEntry {
  std::string key;
  std::string displayName;
  int32_t selected = 0;
};

// The decimal text by which the host names a phone: the identifier's first four bytes as a
// little-endian signed integer.
std::string PhoneKey(const PhoneId& id);

// The process-wide list of phones, in the order they were first reported, shared by every instance.
// Thread: any. One mutex (the list lock) guards the array and every record; callers that work on
// records hold it through lock(). Host callbacks and refresh broadcasts happen after it is released.
class PhoneList {
 public:
  static PhoneList& Instance();

  std::mutex& lock() { return mutex_; }
  // Requires lock() held.
  std::vector<std::unique_ptr<PhoneRecord>>& records() { return records_; }
  PhoneRecord* FindLocked(const PhoneId& id);

  // Appends a record (the reporting listeners create records this way).
  PhoneRecord& Append(std::unique_ptr<PhoneRecord> record);
  // Sets the first matching record to Idle with none of the effects of a reported state change:
  // no score change, no host report, no refresh.
  void ResetStateToIdle(const PhoneId& id);
  PhoneState GetPhoneState(const PhoneId& id);
  // The record's name, or "Phone" when no record has this identifier.
  std::string GetPhoneName(const PhoneId& id);
  // Destroys every record.
  void Clear();
  size_t Size();

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<PhoneRecord>> records_;
};

}  // namespace kavex
