#include "platform/win32/device_drivers_win32.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <strmif.h>

#include <algorithm>

namespace kavex::platform {

namespace {

// Defined here rather than taken from the SDK's GUID libraries, which not every toolchain ships
// with all four.
constexpr GUID kClsidSystemDeviceEnum = {0x62BE5D10, 0x60EB, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr GUID kIidCreateDevEnum = {0x29840822, 0x5B84, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr GUID kIidPropertyBag = {0x55272A00, 0x42CB, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
constexpr GUID kCaptureCategory = {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

// Holds one reference to a COM object.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() {
    if (object_ != nullptr) object_->Release();
  }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;

  T* operator->() const { return object_; }
  T* get() const { return object_; }
  // For calls that hand out a new reference; only on an empty holder.
  T** Receive() { return &object_; }
  void** ReceiveVoid() { return reinterpret_cast<void**>(&object_); }

 private:
  T* object_ = nullptr;
};

// Owns a VARIANT's contents (the BSTR a property bag hands out).
class Variant {
 public:
  Variant() : value_() { VariantInit(&value_); }
  ~Variant() { VariantClear(&value_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  VARIANT* get() { return &value_; }

 private:
  VARIANT value_;
};

bool ReadString(IPropertyBag* bag, const wchar_t* property, std::wstring* text) {
  Variant value;
  // The type we want: the bag converts to it or fails. A bag that fails leaves the VARIANT as it
  // was, which the holder then clears: the string must be null, not whatever the stack held.
  value.get()->vt = VT_BSTR;
  value.get()->bstrVal = nullptr;
  if (FAILED(bag->Read(property, value.get(), nullptr))) return false;
  if (value.get()->vt != VT_BSTR || value.get()->bstrVal == nullptr) return false;
  text->assign(value.get()->bstrVal, SysStringLen(value.get()->bstrVal));
  return true;
}

// Owns one open device handle. Thread: any; the I/O manager serialises synchronous requests on
// a handle opened without overlapped I/O.
class Win32Device final : public Device {
 public:
  explicit Win32Device(HANDLE handle) : handle_(handle) {}
  ~Win32Device() override { CloseHandle(handle_); }
  Win32Device(const Win32Device&) = delete;
  Win32Device& operator=(const Win32Device&) = delete;

  bool Control(uint32_t code, const void* input, uint32_t inputLength, void* output, uint32_t outputLength,
               uint32_t* returned) override {
    // Without an overlapped record the count must point somewhere.
    DWORD count = 0;
    // DeviceIoControl's input is not const in its declaration, and only read.
    const BOOL accepted =
        DeviceIoControl(handle_, code, const_cast<void*>(input),  // NOLINT(cppcoreguidelines-pro-type-const-cast)
                        inputLength, output, outputLength, &count, nullptr);
    if (returned != nullptr) *returned = accepted ? count : 0;
    return accepted != FALSE;
  }

 private:
  HANDLE handle_;
};

// Thread: any; stateless. COM must be initialised on the scanning thread by the host.
class SystemDrivers final : public DeviceDrivers {
 public:
  CaptureScanResult ScanCaptureDevices(const std::vector<std::wstring>& wantedNames,
                                       std::vector<CaptureDevice>* devices) override {
    devices->clear();
    // Without COM on this thread this fails with CO_E_NOTINITIALIZED, reported like any other
    // enumerator failure.
    ComRef<ICreateDevEnum> enumerator;
    if (FAILED(CoCreateInstance(kClsidSystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, kIidCreateDevEnum,
                                enumerator.ReceiveVoid())) ||
        enumerator.get() == nullptr) {
      return CaptureScanResult::kEnumeratorFailed;
    }
    // S_FALSE means an empty category, and comes without an enumerator.
    ComRef<IEnumMoniker> monikers;
    if (enumerator->CreateClassEnumerator(kCaptureCategory, monikers.Receive(), 0) != S_OK ||
        monikers.get() == nullptr) {
      return CaptureScanResult::kCategoryFailed;
    }
    for (;;) {
      ComRef<IMoniker> moniker;
      ULONG fetched = 0;
      if (monikers->Next(1, moniker.Receive(), &fetched) != S_OK || fetched != 1 || moniker.get() == nullptr) {
        break;
      }
      ComRef<IPropertyBag> bag;
      if (FAILED(moniker->BindToStorage(nullptr, nullptr, kIidPropertyBag, bag.ReceiveVoid())) ||
          bag.get() == nullptr) {
        continue;
      }
      CaptureDevice device;
      if (ReadCaptureDevice(bag.get(), wantedNames, &device)) devices->push_back(std::move(device));
    }
    return CaptureScanResult::kScanned;
  }

  std::unique_ptr<Device> Open(const std::wstring& path, uint32_t* systemError) override {
    // A path with a NUL inside would open whatever its first part names.
    if (path.find(L'\0') != std::wstring::npos) {
      if (systemError != nullptr) *systemError = ERROR_INVALID_NAME;
      return nullptr;
    }
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      if (systemError != nullptr) *systemError = GetLastError();
      return nullptr;
    }
    if (systemError != nullptr) *systemError = 0;
    return std::make_unique<Win32Device>(handle);
  }
};

}  // namespace

bool ReadCaptureDevice(IPropertyBag* bag, const std::vector<std::wstring>& wantedNames, CaptureDevice* device) {
  if (!ReadString(bag, L"FriendlyName", &device->friendlyName)) return false;
  // Other makers' devices are none of the engine's business: their paths are not read.
  if (std::find(wantedNames.begin(), wantedNames.end(), device->friendlyName) == wantedNames.end()) return false;
  return ReadString(bag, L"DevicePath", &device->devicePath);
}

DeviceDrivers& SystemDeviceDrivers() {
  static SystemDrivers drivers;
  return drivers;
}

}  // namespace kavex::platform
