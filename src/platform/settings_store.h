#pragma once
#include <memory>
#include <string>

namespace kavex::platform {

// The current user's settings store: the registry under HKEY_CURRENT_USER on Windows, a folder of
// small files elsewhere. Values are named and typed; the engine only reads and writes strings, but it
// must tell a value of another type apart from a missing one.
enum class ReadStatus {
  kOk,         // a string value was read
  kNotFound,   // no value of that name
  kWrongType,  // a value exists but is not a string
  kTooLong,    // a string value exists but does not fit the caller's capacity
  kFailed,     // anything else
};

// An open key. Thread: any; no locking of its own (the store's own consistency is relied on).
class SettingsKey {
 public:
  virtual ~SettingsKey() = default;
  // Reads a string value of at most capacity - 1 bytes (the terminator counts against capacity).
  virtual ReadStatus ReadString(const char* name, size_t capacity, std::string* out) = 0;
  virtual bool WriteString(const char* name, const std::string& text) = 0;
  virtual void DeleteValue(const char* name) = 0;
};

// path uses backslashes, e.g. "Software\\Kavex\\webcam". With create, a missing key is created.
// Returns null when the key cannot be opened (or created).
std::unique_ptr<SettingsKey> OpenUserSettingsKey(const char* path, bool create);

}  // namespace kavex::platform
