/*
 * kavex_engine.h - the public interface of engine.dll.
 *
 * A host application loads engine.dll (32-bit Windows), calls EInitialize once with the number of
 * virtual cameras it drives (1 to 4), registers its callbacks per camera with SetCallback and
 * SetIdleCallback, calls EOpen once per camera in index order, and EUninitialize per camera at the end.
 *
 * Calling conventions: every exported engine function is cdecl with an undecorated name; every
 * callback the host hands in is stdcall. Integers are 32-bit, floats 32-bit IEEE. Arguments documented
 * as "byte" are passed as 32-bit values of which only the low 8 bits count.
 *
 * No error crosses this interface: a call with an index above 3 (negative values count as large) or
 * for a camera that does not exist does nothing. The only failure the host is told about is the result
 * of EOpen, delivered through the HostStateCallback.
 *
 * Texts are 8-bit and NUL-terminated. Texts the engine passes to callbacks are valid only during the call.
 * Callbacks run on engine threads (see each typedef); the engine holds none of its locks while it calls
 * the host, so a callback may call back into the engine: any export, EUninitialize of the same camera
 * included.
 *
 * EUninitialize(i) from inside a callback (on an engine thread) does not wait: camera i leaves the
 * table at once (later calls with index i do nothing), its callbacks are cleared, and no callback of
 * camera i starts after EUninitialize returns, apart from one another engine thread had already
 * begun. Its threads are stopped and joined by a teardown thread of the engine as soon as the
 * callbacks running on them return. The host's next EUninitialize or EInitialize from one of its own
 * threads waits for every such teardown to finish: before unloading the library, call EUninitialize
 * for the cameras from a host thread. From a host thread, EUninitialize(i) returns once camera i is
 * completely gone (do not hold, across the call, a lock that a callback of i waits for).
 */
#ifndef KAVEX_ENGINE_H
#define KAVEX_ENGINE_H

#include <stdint.h>

/* The engine release this header belongs to; the DLL's version block carries the same number
 * (FileVersion and ProductVersion), so a host can compare the two. */
#define KAVEX_ENGINE_VERSION "1.0.0"

#if defined(_WIN32)
#define KAVEX_CDECL __cdecl
#define KAVEX_STDCALL __stdcall
#else
#define KAVEX_CDECL
#define KAVEX_STDCALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Values passed to the HostStateCallback for a phone's state. After EOpen the same callback carries the
 * open result instead: 0 for success (which shares its value with KAVEX_PHONE_IDLE), otherwise the
 * nonzero error code of the virtual camera (-1 to -6), or KAVEX_OPEN_INTERNAL_FAILURE when the engine
 * itself could not open the camera (out of memory or threads). */
#define KAVEX_OPEN_INTERNAL_FAILURE (-7)
enum KavexPhoneState {
  KAVEX_PHONE_IDLE = 0,
  KAVEX_PHONE_FAILED = 1,
  KAVEX_PHONE_CONNECTING = 2,
  KAVEX_PHONE_STREAMING = 3,
  KAVEX_PHONE_PASSCODE_NEEDED = 4
};

/* The process-wide state callback (EInitialize): open results and phone state changes. Called on the
 * host's thread for EOpen, on engine threads for phone states. Must not be null. */
typedef void(KAVEX_STDCALL* HostStateCallback)(int instance, int value);

/* Per-camera callbacks, registered with SetCallback in this argument order. Null disables one, except
 * FormatChoiceCallback, which the host must give before a phone connects. */
typedef void(KAVEX_STDCALL* PhoneControlCallback)(int instance, uint32_t first, uint32_t second);
typedef void(KAVEX_STDCALL* VideoSizeCallback)(int instance, int width, int height);
typedef void(KAVEX_STDCALL* PhoneListCallback)(int instance, int entry, const char* key,
                                               const char* displayName, int selected);
typedef void(KAVEX_STDCALL* Message19Callback)(int instance, int32_t a, int32_t b, int32_t c,
                                               int32_t d);
typedef void(KAVEX_STDCALL* Message20Callback)(int instance, float a, float b, float c, int32_t d);
typedef void(KAVEX_STDCALL* Message21Callback)(int instance, float a, float b, float c, float d);
typedef void(KAVEX_STDCALL* Message22Callback)(int instance, int32_t a, int32_t b, int32_t c,
                                               int32_t d);
typedef void(KAVEX_STDCALL* Message25Callback)(int instance, int32_t mode, float value);
typedef void(KAVEX_STDCALL* TextListCallback)(int instance, const char* text, int32_t value);
/* Receives "Automatic" and the size presets separated by "/"; returns the chosen format index. */
typedef int(KAVEX_STDCALL* FormatChoiceCallback)(int instance, const char* formats);

/* Registered with SetIdleCallback: returns the passcode key that ESetPasscode gave the host for the
 * phone with this 16-byte identifier, or 0 when the host has none. */
typedef uint64_t(KAVEX_STDCALL* PasscodeKeyCallback)(int instance, const uint8_t* phoneId,
                                                     const char* phoneName);

/* Creates min(count, 4) camera instances (none for count <= 0). */
void KAVEX_CDECL EInitialize(int count, HostStateCallback stateCallback);
/* Opens the next instance in index order; returns its index, or -1 when none is left. The result of
 * opening reaches the HostStateCallback before this returns. */
int KAVEX_CDECL EOpen(void);
/* Destroys one instance. A destroyed instance is never opened again. */
void KAVEX_CDECL EUninitialize(int instance);
void KAVEX_CDECL SetCallback(int instance, PhoneControlCallback phoneControl,
                             VideoSizeCallback videoSize, PhoneListCallback phoneList,
                             Message19Callback message19, Message20Callback message20,
                             Message21Callback message21, Message22Callback message22,
                             Message25Callback message25, TextListCallback textList,
                             FormatChoiceCallback formatChoice);
void KAVEX_CDECL SetIdleCallback(int instance, PasscodeKeyCallback passcodeKey);
/* Forwards a user action to the instance's phone (best effort; nothing is sent without a phone). */
void KAVEX_CDECL ButtonEvent(int instance, int code, int value);
/* flag: byte. */
void KAVEX_CDECL EFocus(int instance, float x, float y, int flag);
void KAVEX_CDECL EFocusDistance(int instance, int mode, float distance);
/* Marks one instance as the one the user looks at (index above 3: none). */
void KAVEX_CDECL ESetActiveIdx(int instance);
/* blank: byte. Blanks (nonzero) or unblanks every open camera. */
void KAVEX_CDECL ESetBlank(int blank);
/* 0 automatic, 1 to 10 a size preset; other values behave as automatic. */
void KAVEX_CDECL ESetVideoFormat(int instance, int formatIndex);
/* Connects the instance to the phone whose key PhoneListCallback reported. */
void KAVEX_CDECL ESelectPhone(int instance, const char* key);
/* Restarts DNS service browsing if it has stopped. */
void KAVEX_CDECL ERefresh(void);
/* Computes the key for a phone's passcode and lets the phone be tried again. The host keeps the key
 * and hands it back through PasscodeKeyCallback. Returns 0 when no instance exists. */
uint64_t KAVEX_CDECL ESetPasscode(const uint8_t* phoneId, const char* passcode);

/* The preview: a Direct3D 9 render target (an IDirect3DSurface9) that the host composes into its
 * window, and on which Render draws the active camera's latest picture. stdcall, exported under
 * their decorated names ("_SetSize@8" ...). Results are HRESULTs (0 is S_OK). Settings take effect
 * at the next GetBackBufferNoRef; after a display change that call gives no surface once, and the
 * host asks again. Without Direct3D 9, GetBackBufferNoRef fails (E_FAIL) and gives no surface. */
int32_t KAVEX_STDCALL SetSize(uint32_t width, uint32_t height);
int32_t KAVEX_STDCALL SetAlpha(int32_t useAlpha);
int32_t KAVEX_STDCALL SetNumDesiredSamples(uint32_t samples);
/* The screen point (a POINT passed by value) on whose monitor the preview is shown. */
int32_t KAVEX_STDCALL SetAdapter(int32_t x, int32_t y);
/* The render target, without a reference added: valid until the next call of these functions. */
int32_t KAVEX_STDCALL GetBackBufferNoRef(void** surface);
int32_t KAVEX_STDCALL Render(void);
void KAVEX_STDCALL Destroy(void);

/* Pointer types for hosts that resolve the exports with GetProcAddress. */
typedef void(KAVEX_CDECL* EInitializeFn)(int, HostStateCallback);
typedef int(KAVEX_CDECL* EOpenFn)(void);
typedef void(KAVEX_CDECL* EUninitializeFn)(int);
typedef void(KAVEX_CDECL* SetCallbackFn)(int, PhoneControlCallback, VideoSizeCallback,
                                         PhoneListCallback, Message19Callback, Message20Callback,
                                         Message21Callback, Message22Callback, Message25Callback,
                                         TextListCallback, FormatChoiceCallback);
typedef void(KAVEX_CDECL* SetIdleCallbackFn)(int, PasscodeKeyCallback);
typedef void(KAVEX_CDECL* ButtonEventFn)(int, int, int);
typedef void(KAVEX_CDECL* EFocusFn)(int, float, float, int);
typedef void(KAVEX_CDECL* EFocusDistanceFn)(int, int, float);
typedef void(KAVEX_CDECL* ESetActiveIdxFn)(int);
typedef void(KAVEX_CDECL* ESetBlankFn)(int);
typedef void(KAVEX_CDECL* ESetVideoFormatFn)(int, int);
typedef void(KAVEX_CDECL* ESelectPhoneFn)(int, const char*);
typedef void(KAVEX_CDECL* ERefreshFn)(void);
typedef uint64_t(KAVEX_CDECL* ESetPasscodeFn)(const uint8_t*, const char*);
typedef int32_t(KAVEX_STDCALL* SetSizeFn)(uint32_t, uint32_t);
typedef int32_t(KAVEX_STDCALL* SetAlphaFn)(int32_t);
typedef int32_t(KAVEX_STDCALL* SetNumDesiredSamplesFn)(uint32_t);
typedef int32_t(KAVEX_STDCALL* SetAdapterFn)(int32_t, int32_t);
typedef int32_t(KAVEX_STDCALL* GetBackBufferNoRefFn)(void**);
typedef int32_t(KAVEX_STDCALL* RenderFn)(void);
typedef void(KAVEX_STDCALL* DestroyFn)(void);

#ifdef __cplusplus
}

/* For C++ hosts: all fourteen exports as one table, every pointer empty until the host fills it. */
struct KavexEngineExports {
  EInitializeFn EInitialize = nullptr;
  EOpenFn EOpen = nullptr;
  EUninitializeFn EUninitialize = nullptr;
  SetCallbackFn SetCallback = nullptr;
  SetIdleCallbackFn SetIdleCallback = nullptr;
  ButtonEventFn ButtonEvent = nullptr;
  EFocusFn EFocus = nullptr;
  EFocusDistanceFn EFocusDistance = nullptr;
  ESetActiveIdxFn ESetActiveIdx = nullptr;
  ESetBlankFn ESetBlank = nullptr;
  ESetVideoFormatFn ESetVideoFormat = nullptr;
  ESelectPhoneFn ESelectPhone = nullptr;
  ERefreshFn ERefresh = nullptr;
  ESetPasscodeFn ESetPasscode = nullptr;
};

/* The seven preview functions as one table, every pointer empty until the host fills it. */
struct KavexPreviewExports {
  SetSizeFn SetSize = nullptr;
  SetAlphaFn SetAlpha = nullptr;
  SetNumDesiredSamplesFn SetNumDesiredSamples = nullptr;
  SetAdapterFn SetAdapter = nullptr;
  GetBackBufferNoRefFn GetBackBufferNoRef = nullptr;
  RenderFn Render = nullptr;
  DestroyFn Destroy = nullptr;
};
#endif

#endif /* KAVEX_ENGINE_H */
