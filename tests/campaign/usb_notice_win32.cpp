// The system's word to the engine's hidden window that a USB device arrived or left. The window
// belongs to another thread, so the message is sent (Wine refuses to post WM_DEVICECHANGE).
#include <windows.h>
#include <dbt.h>

#include <cwchar>

#include "world.h"

namespace campaign {

bool SendUsbNotice(bool arrived) {
  HWND window = FindWindowW(L"szAppNamee", nullptr);
  if (window == nullptr) return false;
  struct {
    DEV_BROADCAST_DEVICEINTERFACE_W header;
    wchar_t rest[96];
  } notice{};
  notice.header.dbcc_size = sizeof notice;
  notice.header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  notice.header.dbcc_classguid = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
  wcscpy(notice.header.dbcc_name, L"\\\\?\\USB#VID_18D1&PID_4EE7#CAMP0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(window, WM_DEVICECHANGE, arrived ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                             reinterpret_cast<LPARAM>(&notice), SMTO_NORMAL, 5000, &result) != 0;
}

}  // namespace campaign
