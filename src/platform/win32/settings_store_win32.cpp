#include "platform/settings_store.h"

#include <windows.h>

#include <vector>

namespace kavex::platform {

namespace {

// Owns one open registry key under HKEY_CURRENT_USER.
class RegistryKey final : public SettingsKey {
 public:
  explicit RegistryKey(HKEY key) : key_(key) {}
  ~RegistryKey() override { RegCloseKey(key_); }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  ReadStatus ReadString(const char* name, size_t capacity, std::string* out) override {
    std::vector<char> buffer(capacity, 0);
    DWORD size = static_cast<DWORD>(capacity);
    // RRF_RT_REG_SZ makes a value of another type fail with ERROR_UNSUPPORTED_TYPE rather than
    // handing us its raw bytes.
    const LSTATUS status = RegGetValueA(key_, nullptr, name, RRF_RT_REG_SZ, nullptr, buffer.data(), &size);
    switch (status) {
      case ERROR_SUCCESS:
        buffer.back() = '\0';
        out->assign(buffer.data());
        return ReadStatus::kOk;
      case ERROR_FILE_NOT_FOUND:
        return ReadStatus::kNotFound;
      case ERROR_UNSUPPORTED_TYPE:
        return ReadStatus::kWrongType;
      case ERROR_MORE_DATA:
        return ReadStatus::kTooLong;
      default:
        return ReadStatus::kFailed;
    }
  }

  bool WriteString(const char* name, const std::string& text) override {
    // The stored length is the text's length without a terminator; readers add their own.
    return RegSetValueExA(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                          static_cast<DWORD>(text.size())) == ERROR_SUCCESS;
  }

  void DeleteValue(const char* name) override { RegDeleteValueA(key_, name); }

 private:
  HKEY key_;
};

}  // namespace

std::unique_ptr<SettingsKey> OpenUserSettingsKey(const char* path, bool create) {
  HKEY key = nullptr;
  LSTATUS status = ERROR_SUCCESS;
  if (create) {
    status = RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
  } else {
    status = RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ | KEY_WRITE, &key);
  }
  if (status != ERROR_SUCCESS) return nullptr;
  return std::make_unique<RegistryKey>(key);
}

}  // namespace kavex::platform
