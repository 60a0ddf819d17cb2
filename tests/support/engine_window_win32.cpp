#include "engine_window.h"

#include <dbt.h>

#include <cwchar>

namespace enginewindow {

HWND Find() { return FindWindowW(L"szAppNamee", nullptr); }

bool Send(UINT message, WPARAM wParam, LPARAM lParam) {
  HWND window = Find();
  if (window == nullptr) return false;
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, 15000, &result) != 0;
}

bool SendDeviceChange(WPARAM event) {
  struct {
    DEV_BROADCAST_DEVICEINTERFACE_W header;
    wchar_t rest[96];
  } notice{};
  notice.header.dbcc_size = sizeof notice;
  notice.header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  notice.header.dbcc_classguid = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
  wcscpy(notice.header.dbcc_name, L"\\\\?\\USB#VID_18D1&PID_4EE7#R5CT1234#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  return Send(WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&notice));
}

}  // namespace enginewindow
