/*
 * A host that links engine.dll through an import library instead of GetProcAddress: the release
 * check builds it twice, with MinGW against lib/libengine.dll.a and for Microsoft's ABI against
 * lib/engine.lib, and runs each beside the archive's engine.dll. It calls the engine's cdecl
 * functions and two stdcall preview functions, and references a libplist and a usbmux function,
 * so the loader must bind every kind of export through the library's names.
 *
 * It uses nothing but the header and kernel32/ole32 (declared here), so that both toolchains build
 * it without a C runtime. Prints one line; exit 0 when EOpen opened camera 0 and the state
 * callback carried its result (on a machine without the virtual camera drivers: -1).
 */
#include "kavex_engine.h"

__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) void __stdcall ExitProcess(unsigned code);
__declspec(dllimport) long __stdcall CoInitializeEx(void* reserved, unsigned long model);

/* Exported by engine.dll for programs written against those libraries; only their addresses are
 * needed here. */
void usbmuxd_read_buid(void);
void plist_new_dict(void);

static volatile int g_openResult = 1000; /* no callback yet */

static void KAVEX_STDCALL OnState(int instance, int value) {
  if (instance == 0 && g_openResult == 1000) g_openResult = value;
}

static char* Append(char* at, const char* text) {
  while (*text) *at++ = *text++;
  return at;
}

static char* AppendInt(char* at, int value) {
  char digits[12];
  int count = 0;
  unsigned magnitude = value < 0 ? 0u - (unsigned)value : (unsigned)value;
  if (value < 0) *at++ = '-';
  do {
    digits[count++] = (char)('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  while (count > 0) *at++ = digits[--count];
  return at;
}

void __stdcall link_host_start(void) {
  char line[160];
  char* at = line;
  unsigned long written = 0;
  int opened;
  int alpha;
  /* The library functions' addresses come from the import table, filled by the loader. */
  const int libraries = (void*)&usbmuxd_read_buid != 0 && (void*)&plist_new_dict != 0;

  CoInitializeEx(0, 2 /* apartment-threaded: camera 0's open scans devices through COM */);
  EInitialize(1, OnState);
  opened = EOpen();
  alpha = SetAlpha(0);
  EUninitialize(0);
  Destroy();

  at = Append(at, "link host: EOpen ");
  at = AppendInt(at, opened);
  at = Append(at, ", open result ");
  at = AppendInt(at, g_openResult);
  at = Append(at, ", SetAlpha ");
  at = AppendInt(at, alpha);
  at = Append(at, libraries ? ", library exports bound\n" : ", library exports missing\n");
  WriteFile(GetStdHandle((unsigned long)-11), line, (unsigned long)(at - line), &written, 0);
  ExitProcess(opened == 0 && g_openResult != 1000 && libraries ? 0 : 1);
}
