#include "common/error_log.h"

#include "platform/settings_store.h"

namespace kavex {

namespace {

constexpr const char* kKeyPath = "Software\\Kavex\\webcam";
constexpr const char* kValueName = "erd";
constexpr size_t kTextCapacity = 256;  // bytes, terminator included

}  // namespace

void ErrorLog::RecordError(const char* tag, int code) {
  auto key = platform::OpenUserSettingsKey(kKeyPath, /*create=*/true);
  if (!key) return;
  std::string stored;
  const platform::ReadStatus status = key->ReadString(kValueName, kTextCapacity, &stored);
  // A stored value of any type blocks new entries; only its absence (or an unreadable value) lets
  // this one in.
  if (status == platform::ReadStatus::kOk || status == platform::ReadStatus::kWrongType) return;
  std::string text = "we:" + std::string(tag != nullptr ? tag : "") + ":" + std::to_string(code);
  if (text.size() > kTextCapacity - 1) text.resize(kTextCapacity - 1);
  key->WriteString(kValueName, text);
}

void ErrorLog::Record(const ErrorCode& entry, const std::string& detail) {
  RecordError((std::string(entry.tag) + detail).c_str(), entry.code);
}

ErrorLog::StoredEntry ErrorLog::TakeStoredEntry() {
  StoredEntry entry;
  auto key = platform::OpenUserSettingsKey(kKeyPath, /*create=*/false);
  if (!key) return entry;
  const platform::ReadStatus status = key->ReadString(kValueName, kTextCapacity, &entry.text);
  // Deleted whatever the read said, so the store is free for the next entry.
  key->DeleteValue(kValueName);
  entry.deliver = status == platform::ReadStatus::kOk || status == platform::ReadStatus::kWrongType;
  if (status != platform::ReadStatus::kOk) entry.text.clear();
  return entry;
}

}  // namespace kavex
