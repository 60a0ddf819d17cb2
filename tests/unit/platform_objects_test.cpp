// The platform's named kernel objects, device drivers and drawing surface: what the virtual camera
// output relies on, checked the same way in both builds (natively against the process-wide table,
// under Wine against the real kernel objects, GDI and COM).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#include <oaidl.h>
#include <objbase.h>
#include <oleauto.h>

#include <map>

#include "platform/win32/device_drivers_win32.h"
#include "platform/win32/drawing_surface_win32.h"
#else
#include <unistd.h>
#endif

#include "platform/device_drivers.h"
#include "platform/drawing_surface.h"
#include "platform/named_objects.h"

namespace kavex::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Wine's objects are shared by every process of the prefix, so names carry the process id.
std::string UniqueName(const char* what) {
  static std::atomic<int> counter{0};
#if defined(_WIN32)
  const unsigned long pid = GetCurrentProcessId();
#else
  const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
  return std::string("Local\\kavex-platform-test-") + std::to_string(pid) + "-" + what + "-" +
         std::to_string(counter++);
}

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(NamedMutex, HeldByOneThreadTimesOutElsewhereAndIsTakenAfterRelease) {
  const std::string name = UniqueName("mutex");
  uint32_t error = 1;
  std::unique_ptr<NamedMutex> holder = NamedMutex::CreateOrOpen(name.c_str(), &error);
  ASSERT_NE(holder, nullptr) << error;
  EXPECT_EQ(error, 0u);
  std::unique_ptr<NamedMutex> other = NamedMutex::CreateOrOpen(name.c_str(), &error);
  ASSERT_NE(other, nullptr) << error;
  ASSERT_TRUE(holder->Wait(0));

  // Through the second handle, as the driver holds its own handle to the same mutex.
  bool timedOutWait = true;
  long long timedOutMs = 0;
  std::thread([&] {
    const Clock::time_point start = Clock::now();
    timedOutWait = other->Wait(100);
    timedOutMs = MillisecondsSince(start);
  }).join();
  EXPECT_FALSE(timedOutWait);
  EXPECT_GE(timedOutMs, 80);

  // A waiter blocked on the mutex wakes when it is released, long before its limit.
  bool blockedWait = false;
  long long blockedMs = 0;
  std::thread waiter([&] {
    const Clock::time_point start = Clock::now();
    blockedWait = other->Wait(10000);
    blockedMs = MillisecondsSince(start);
    if (blockedWait) other->Release();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  holder->Release();
  waiter.join();
  EXPECT_TRUE(blockedWait);
  EXPECT_LT(blockedMs, 5000);
  EXPECT_TRUE(holder->Wait(1000));
  holder->Release();
}

TEST(NamedMutex, IsReenterableByItsHolderAndReleasedOnlyByIt) {
  const std::string name = UniqueName("mutex");
  std::unique_ptr<NamedMutex> mutex = NamedMutex::CreateOrOpen(name.c_str(), nullptr);
  ASSERT_NE(mutex, nullptr);
  ASSERT_TRUE(mutex->Wait(0));
  ASSERT_TRUE(mutex->Wait(0));

  auto takenElsewhere = [&] {
    bool taken = false;
    std::thread([&] {
      mutex->Release();  // not the holder: no effect
      taken = mutex->Wait(50);
      if (taken) mutex->Release();
    }).join();
    return taken;
  };
  EXPECT_FALSE(takenElsewhere());
  mutex->Release();
  EXPECT_FALSE(takenElsewhere()) << "one of two holds released";
  mutex->Release();
  EXPECT_TRUE(takenElsewhere());
}

TEST(NamedEvent, IsManualResetAndSharedByName) {
  const std::string name = UniqueName("event");
  uint32_t error = 1;
  std::unique_ptr<NamedEvent> first = NamedEvent::CreateOrOpen(name.c_str(), true, &error);
  ASSERT_NE(first, nullptr) << error;
  EXPECT_EQ(error, 0u);
  std::unique_ptr<NamedEvent> second = NamedEvent::CreateOrOpen(name.c_str(), false, &error);
  ASSERT_NE(second, nullptr) << error;

  EXPECT_FALSE(second->Wait(0)) << "a new event is not signalled";
  first->Set();
  EXPECT_TRUE(second->Wait(0));
  EXPECT_TRUE(second->Wait(0)) << "a wait does not reset it";
  EXPECT_TRUE(first->Wait(0));
  second->Reset();
  EXPECT_FALSE(first->Wait(0));

  bool woken = false;
  long long wokenMs = 0;
  std::thread waiter([&] {
    const Clock::time_point start = Clock::now();
    woken = second->Wait(10000);
    wokenMs = MillisecondsSince(start);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  first->Set();
  waiter.join();
  EXPECT_TRUE(woken);
  EXPECT_LT(wokenMs, 5000);
}

TEST(NamedObjects, ANameBelongsToOneKindOfObject) {
  const std::string name = UniqueName("kind");
  std::unique_ptr<NamedMutex> mutex = NamedMutex::CreateOrOpen(name.c_str(), nullptr);
  ASSERT_NE(mutex, nullptr);
  uint32_t error = 0;
  EXPECT_EQ(NamedEvent::CreateOrOpen(name.c_str(), false, &error), nullptr);
  EXPECT_EQ(error, 6u);  // ERROR_INVALID_HANDLE
  error = 0;
  EXPECT_EQ(SharedSection::CreateOrOpen(name.c_str(), 4096, &error), nullptr);
  EXPECT_EQ(error, 6u);
}

TEST(SharedSection, HandlesOfOneNameShareBytesAndANewSectionIsZero) {
  constexpr size_t kSize = 1 << 20;
  const std::string name = UniqueName("section");
  uint32_t error = 1;
  std::unique_ptr<SharedSection> first = SharedSection::CreateOrOpen(name.c_str(), kSize, &error);
  ASSERT_NE(first, nullptr) << error;
  EXPECT_EQ(error, 0u);
  ASSERT_EQ(first->size(), kSize);
  const uint8_t* begin = first->data();
  EXPECT_TRUE(std::all_of(begin, begin + kSize, [](uint8_t byte) { return byte == 0; }));

  first->data()[0] = 0x11;
  first->data()[kSize - 1] = 0x22;
  std::unique_ptr<SharedSection> second = SharedSection::CreateOrOpen(name.c_str(), kSize, &error);
  ASSERT_NE(second, nullptr) << error;
  EXPECT_EQ(second->data()[0], 0x11);
  EXPECT_EQ(second->data()[kSize - 1], 0x22);
  second->data()[12345] = 0x33;
  EXPECT_EQ(first->data()[12345], 0x33);

  // A smaller view of the same section is fine; a larger one would reach past its end.
  std::unique_ptr<SharedSection> smaller = SharedSection::CreateOrOpen(name.c_str(), 4096, &error);
  ASSERT_NE(smaller, nullptr) << error;
  EXPECT_EQ(smaller->size(), 4096u);
  EXPECT_EQ(smaller->data()[0], 0x11);
  error = 0;
  EXPECT_EQ(SharedSection::CreateOrOpen(name.c_str(), 2 * kSize, &error), nullptr);
  EXPECT_EQ(error, 5u);  // ERROR_ACCESS_DENIED, from MapViewOfFile
}

TEST(SharedSection, GoesWithItsLastHandle) {
  const std::string name = UniqueName("section");
  std::unique_ptr<SharedSection> section = SharedSection::CreateOrOpen(name.c_str(), 8192, nullptr);
  ASSERT_NE(section, nullptr);
  section->data()[100] = 0x5A;
  std::unique_ptr<SharedSection> again = SharedSection::CreateOrOpen(name.c_str(), 8192, nullptr);
  ASSERT_NE(again, nullptr);
  section.reset();
  EXPECT_EQ(again->data()[100], 0x5A) << "alive while a handle is";
  again.reset();

  section = SharedSection::CreateOrOpen(name.c_str(), 8192, nullptr);
  ASSERT_NE(section, nullptr);
  EXPECT_EQ(section->data()[100], 0) << "a new section after the last handle went";
}

TEST(SharedSection, CameraSizedSectionIsMappedWhole) {
  constexpr size_t kCameraSectionSize = 49865088;
  const std::string name = UniqueName("camera");
  std::unique_ptr<SharedSection> section = SharedSection::CreateOrOpen(name.c_str(), kCameraSectionSize, nullptr);
  ASSERT_NE(section, nullptr);
  EXPECT_EQ(section->data()[0], 0);
  EXPECT_EQ(section->data()[kCameraSectionSize - 1], 0);
  section->data()[kCameraSectionSize - 1] = 7;
  EXPECT_EQ(section->data()[kCameraSectionSize - 1], 7);

  uint32_t error = 0;
  EXPECT_EQ(SharedSection::CreateOrOpen(UniqueName("empty").c_str(), 0, &error), nullptr);
  EXPECT_EQ(error, 87u);  // ERROR_INVALID_PARAMETER
}

#if defined(_WIN32)
std::string PeerProgramPath() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text(path, length);
  return text.substr(0, text.find_last_of("\\/") + 1) + "named_object_peer.exe";
}

// Runs the peer program and returns its exit code, or -1 when it could not run.
int RunPeer(const std::string& arguments) {
  std::string commandLine = "\"" + PeerProgramPath() + "\" " + arguments;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return -1;
  }
  DWORD exitCode = 0xFFFFFFFFu;
  if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &exitCode);
  } else {
    TerminateProcess(process.hProcess, 99);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(exitCode);
}

TEST(SharedSection, AnotherProcessOpensTheSectionAndTheEventByName) {
  constexpr size_t kSize = 65536;
  const std::string sectionName = UniqueName("shared");
  const std::string eventName = UniqueName("signal");
  std::unique_ptr<SharedSection> section = SharedSection::CreateOrOpen(sectionName.c_str(), kSize, nullptr);
  ASSERT_NE(section, nullptr);
  std::unique_ptr<NamedEvent> event = NamedEvent::CreateOrOpen(eventName.c_str(), true, nullptr);
  ASSERT_NE(event, nullptr);
  section->data()[4096] = 90;

  EXPECT_EQ(RunPeer(sectionName + " 65536 4096 90 165 " + eventName), 0);
  EXPECT_EQ(section->data()[4097], 165);
  EXPECT_TRUE(event->Wait(0));
}
#endif

TEST(DrawingSurface, RowsArePaddedToFourBytes) {
  std::unique_ptr<DrawingSurface> surface = DrawingSurface::Create();
  ASSERT_NE(surface, nullptr);
  const int expectedStrides[] = {4, 8, 12, 12, 16};
  for (int width = 1; width <= 5; ++width) {
    SCOPED_TRACE(width);
    const bool topDown = width % 2 == 0;
    ASSERT_TRUE(surface->Resize(width, 3, topDown));
    EXPECT_EQ(surface->width(), width);
    EXPECT_EQ(surface->height(), 3);
    EXPECT_EQ(surface->topDown(), topDown);
    ASSERT_EQ(surface->stride(), expectedStrides[width - 1]);
    uint8_t* pixels = surface->pixels();
    ASSERT_NE(pixels, nullptr);
    const size_t bytes = static_cast<size_t>(surface->stride()) * 3;
    EXPECT_TRUE(std::all_of(pixels, pixels + bytes, [](uint8_t byte) { return byte == 0; }));
    std::memset(pixels, 0xFF, bytes);  // the whole padded picture is ours to write
  }
}

TEST(DrawingSurface, ResizeReplacesThePictureAndRefusesEmptySizes) {
  std::unique_ptr<DrawingSurface> surface = DrawingSurface::Create();
  EXPECT_EQ(surface->pixels(), nullptr);
  ASSERT_TRUE(surface->Resize(640, 360, true));
  std::memset(surface->pixels(), 0x7F, 1920 * 360);
  ASSERT_TRUE(surface->Resize(4, 2, false));
  EXPECT_EQ(surface->width(), 4);
  EXPECT_EQ(surface->height(), 2);
  EXPECT_FALSE(surface->topDown());
  EXPECT_EQ(surface->stride(), 12);
  ASSERT_NE(surface->pixels(), nullptr);
  EXPECT_EQ(surface->pixels()[0], 0) << "a new picture starts black";
  std::memset(surface->pixels(), 0x7F, 24);

  EXPECT_FALSE(surface->Resize(0, 360, true));
  EXPECT_EQ(surface->pixels(), nullptr);
  EXPECT_EQ(surface->width(), 0);
  EXPECT_FALSE(surface->Resize(640, -360, true));
  EXPECT_EQ(surface->pixels(), nullptr);
  ASSERT_TRUE(surface->Resize(2, 2, true));
  EXPECT_NE(surface->pixels(), nullptr);
}

#if defined(_WIN32)
// GDI draws into the picture the surface exposes, and the height's sign puts the top row where
// the flag says.
TEST(DrawingSurface, GdiDrawsIntoThePictureInTheChosenRowOrder) {
  std::unique_ptr<DrawingSurface> surface = DrawingSurface::Create();
  EXPECT_EQ(DrawingSurfaceDc(*surface), nullptr);
  for (bool topDown : {true, false, true}) {
    SCOPED_TRACE(topDown);
    ASSERT_TRUE(surface->Resize(5, 4, topDown));
    HDC dc = DrawingSurfaceDc(*surface);
    ASSERT_NE(dc, nullptr);
    ASSERT_TRUE(PatBlt(dc, 0, 0, 5, 1, WHITENESS));  // the picture's top row
    GdiFlush();
    const uint8_t* pixels = surface->pixels();
    const int stride = surface->stride();
    const uint8_t* firstStored = pixels;
    const uint8_t* lastStored = pixels + 3 * stride;
    const uint8_t* whiteRow = topDown ? firstStored : lastStored;
    const uint8_t* blackRow = topDown ? lastStored : firstStored;
    EXPECT_TRUE(std::all_of(whiteRow, whiteRow + 15, [](uint8_t byte) { return byte == 0xFF; }));
    EXPECT_TRUE(std::all_of(blackRow, blackRow + 15, [](uint8_t byte) { return byte == 0; }));
  }
}
#endif

// Stands in for simulated drivers.
class NoDrivers final : public DeviceDrivers {
 public:
  CaptureScanResult ScanCaptureDevices(const std::vector<std::wstring>&, std::vector<CaptureDevice>*) override {
    return CaptureScanResult::kScanned;
  }
  std::unique_ptr<Device> Open(const std::wstring&, uint32_t*) override { return nullptr; }
};

// The program may run with simulated drivers already in place; they are put back afterwards.
TEST(DeviceDrivers, SimulatedDriversReplaceTheSystemsUntilCleared) {
  DeviceDrivers* before = &ActiveDeviceDrivers();
  NoDrivers simulated;
  SetActiveDeviceDrivers(&simulated);
  EXPECT_EQ(&ActiveDeviceDrivers(), &simulated);
  SetActiveDeviceDrivers(nullptr);
  EXPECT_EQ(&ActiveDeviceDrivers(), &SystemDeviceDrivers());
  SetActiveDeviceDrivers(before == &SystemDeviceDrivers() ? nullptr : before);
  EXPECT_EQ(&ActiveDeviceDrivers(), before);
}

#if !defined(_WIN32)
TEST(DeviceDrivers, NativeSystemHasNoDevices) {
  std::vector<CaptureDevice> devices = {{L"left over", L"path"}};
  EXPECT_EQ(SystemDeviceDrivers().ScanCaptureDevices({L"Kavex Webcam"}, &devices), CaptureScanResult::kCategoryFailed);
  EXPECT_TRUE(devices.empty());
  uint32_t error = 0;
  EXPECT_EQ(SystemDeviceDrivers().Open(L"\\\\?\\root#kavex#0000", &error), nullptr);
  EXPECT_EQ(error, 2u);
}
#else
// Runs the scan on a thread of its own, with COM initialised in the given model or not at all,
// and uninitialised afterwards so that no apartment outlives the test.
CaptureScanResult ScanOnThread(bool initialiseCom, std::vector<CaptureDevice>* devices) {
  CaptureScanResult result = CaptureScanResult::kScanned;
  std::thread([&] {
    const bool initialised = initialiseCom && SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    result = SystemDeviceDrivers().ScanCaptureDevices({L"Kavex Webcam"}, devices);
    if (initialised) CoUninitialize();
  }).join();
  return result;
}

// Without COM the enumerator cannot be made (CO_E_NOTINITIALIZED). With it, Wine's empty capture
// category answers S_FALSE and no enumerator.
TEST(DeviceDrivers, ScanNeedsComAndFindsNoCaptureDevicesUnderWine) {
  std::vector<CaptureDevice> devices = {{L"left over", L"path"}};
  EXPECT_EQ(ScanOnThread(false, &devices), CaptureScanResult::kEnumeratorFailed);
  EXPECT_TRUE(devices.empty());

  devices = {{L"left over", L"path"}};
  EXPECT_EQ(ScanOnThread(true, &devices), CaptureScanResult::kCategoryFailed);
  EXPECT_TRUE(devices.empty());
}

// A capture device's property bag made by hand: the properties it holds answer as strings, the
// others fail without writing the VARIANT, as Wine's bag does. It notes what was asked for, and
// every VARIANT it was handed whose string the caller would free without having set it (that
// string it nulls, so that the test reports the fault instead of crashing on the free).
class TestPropertyBag final : public IPropertyBag {
 public:
  explicit TestPropertyBag(std::map<std::wstring, std::wstring> properties) : properties_(std::move(properties)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }  // lives on the test's stack
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
    asked.push_back(name);
    if (value->vt == VT_BSTR && value->bstrVal != nullptr) {
      ++unsetStrings;
      value->bstrVal = nullptr;
    }
    const auto found = properties_.find(name);
    if (found == properties_.end()) return E_INVALIDARG;
    value->vt = VT_BSTR;
    value->bstrVal = SysAllocStringLen(found->second.data(), static_cast<UINT>(found->second.size()));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Write(LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }

  std::vector<std::wstring> asked;
  int unsetStrings = 0;

 private:
  std::map<std::wstring, std::wstring> properties_;
};

// Leaves a pattern on the stack below the caller, where the next call's frame goes: a VARIANT
// left unset then holds the pattern rather than a lucky zero.
__attribute__((noinline)) void DirtyStack() {
  volatile uint8_t junk[8192];
  for (size_t i = 0; i < sizeof junk; ++i) junk[i] = 0xA5;
}

// A device without a readable name or path is left out without freeing what the bag never wrote
// (a stale pointer would be the string the previous read freed), and only a wanted device's path
// is read.
TEST(DeviceDrivers, CaptureDeviceReadSkipsMissingPropertiesAndOtherDevices) {
  const std::vector<std::wstring> wanted = {L"Kavex Webcam", L"Kavex Webcam Audio"};
  const std::wstring path = L"\\\\?\\root#image#0000";
  struct Case {
    const char* what;
    std::map<std::wstring, std::wstring> properties;
    bool listed;
    std::vector<std::wstring> asked;
  };
  const Case cases[] = {
      {"no properties", {}, false, {L"FriendlyName"}},
      {"a wanted name without a path", {{L"FriendlyName", L"Kavex Webcam"}}, false, {L"FriendlyName", L"DevicePath"}},
      {"another maker's device", {{L"FriendlyName", L"kavex webcam"}, {L"DevicePath", path}}, false, {L"FriendlyName"}},
      {"a wanted device",
       {{L"FriendlyName", L"Kavex Webcam Audio"}, {L"DevicePath", path}},
       true,
       {L"FriendlyName", L"DevicePath"}},
  };
  for (int round = 0; round < 3; ++round) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      TestPropertyBag bag(c.properties);
      CaptureDevice device;
      DirtyStack();
      EXPECT_EQ(ReadCaptureDevice(&bag, wanted, &device), c.listed);
      EXPECT_EQ(bag.asked, c.asked);
      EXPECT_EQ(bag.unsetStrings, 0);
      if (c.listed) {
        EXPECT_EQ(device.friendlyName, L"Kavex Webcam Audio");
        EXPECT_EQ(device.devicePath, path);
      }
    }
  }
}

TEST(DeviceDrivers, OpenReportsTheSystemsErrorAndRefusesPathsWithANul) {
  uint32_t error = 0;
  EXPECT_EQ(
      SystemDeviceDrivers().Open(L"\\\\?\\root#image#0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global", &error),
      nullptr);
  // Wine says ERROR_PATH_NOT_FOUND for both; Windows may say ERROR_FILE_NOT_FOUND for the first.
  EXPECT_TRUE(error == 2 || error == 3) << error;
  error = 0;
  EXPECT_EQ(SystemDeviceDrivers().Open(L"", &error), nullptr);
  EXPECT_EQ(error, 3u);

  // An ordinary file opens; device requests to it fail and report no output.
  wchar_t folder[MAX_PATH] = {};
  wchar_t file[MAX_PATH] = {};
  ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0u);
  ASSERT_NE(GetTempFileNameW(folder, L"kvx", 0, file), 0u);
  {
    std::unique_ptr<Device> device = SystemDeviceDrivers().Open(file, &error);
    ASSERT_NE(device, nullptr) << error;
    uint8_t input[8] = {};
    uint8_t output[32] = {};
    uint32_t returned = 77;
    EXPECT_FALSE(device->Control(0x222008, input, sizeof input, output, sizeof output, &returned));
    EXPECT_EQ(returned, 0u);

    std::wstring truncated = std::wstring(file) + L'\0' + L"more";
    EXPECT_EQ(SystemDeviceDrivers().Open(truncated, &error), nullptr);
    EXPECT_EQ(error, 123u);  // ERROR_INVALID_NAME
  }
  DeleteFileW(file);
}
#endif

}  // namespace
}  // namespace kavex::platform
