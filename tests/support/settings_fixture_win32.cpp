#include <windows.h>

#include "settings_fixture.h"

namespace settings_fixture {

namespace {

HKEY OpenKey() {
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Kavex\\webcam", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  return key;
}

}  // namespace

void DeleteErrorValue() {
  if (HKEY key = OpenKey()) {
    RegDeleteValueA(key, "erd");
    RegCloseKey(key);
  }
}

void StoreNumericErrorValue() {
  if (HKEY key = OpenKey()) {
    const DWORD value = 42;
    RegSetValueExA(key, "erd", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
  }
}

}  // namespace settings_fixture
