#pragma once
// The engine's hidden notification window (Windows only), reached as the system reaches it: by its
// class name, with messages sent (the window is another thread's, so a send waits for its next
// dispatch; Wine refuses to post WM_DEVICECHANGE).
// Thread: any.
#include <windows.h>

namespace enginewindow {

HWND Find();
// False when there is no window or it did not answer within 15 s.
bool Send(UINT message, WPARAM wParam, LPARAM lParam);
// A USB device interface arrived (DBT_DEVICEARRIVAL) or left (DBT_DEVICEREMOVECOMPLETE); lParam
// points at its description, as the system's does.
bool SendDeviceChange(WPARAM event);

}  // namespace enginewindow
