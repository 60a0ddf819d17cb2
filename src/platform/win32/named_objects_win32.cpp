#include "platform/named_objects.h"

#include <windows.h>

namespace kavex::platform {

namespace {

void StoreError(uint32_t* systemError, DWORD code) {
  if (systemError != nullptr) *systemError = code;
}

// Closes a kernel handle when it goes.
class KernelHandle {
 public:
  explicit KernelHandle(HANDLE handle) : handle_(handle) {}
  ~KernelHandle() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  KernelHandle(const KernelHandle&) = delete;
  KernelHandle& operator=(const KernelHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// Owns one handle to a named (or, without a name, private) mutex.
class Win32NamedMutex final : public NamedMutex {
 public:
  explicit Win32NamedMutex(HANDLE handle) : handle_(handle) {}

  bool Wait(uint32_t timeoutMs) override {
    // An abandoned mutex is ours all the same: its previous holder died, the data it guards is
    // whatever that holder left, which the callers accept.
    const DWORD result = WaitForSingleObject(handle_.get(), timeoutMs);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
  }

  void Release() override { ReleaseMutex(handle_.get()); }

 private:
  KernelHandle handle_;
};

// Owns one handle to a manual-reset event.
class Win32NamedEvent final : public NamedEvent {
 public:
  explicit Win32NamedEvent(HANDLE handle) : handle_(handle) {}

  void Set() override { SetEvent(handle_.get()); }
  void Reset() override { ResetEvent(handle_.get()); }
  bool Wait(uint32_t timeoutMs) override { return WaitForSingleObject(handle_.get(), timeoutMs) == WAIT_OBJECT_0; }

 private:
  KernelHandle handle_;
};

// Owns the section handle and one view of the whole section.
class Win32SharedSection final : public SharedSection {
 public:
  Win32SharedSection(HANDLE mapping, void* view, size_t size)
      : mapping_(mapping), view_(static_cast<uint8_t*>(view)), size_(size) {}
  ~Win32SharedSection() override { UnmapViewOfFile(view_); }  // the handle closes after it

  uint8_t* data() override { return view_; }
  size_t size() const override { return size_; }

 private:
  KernelHandle mapping_;
  uint8_t* view_;
  size_t size_;
};

}  // namespace

std::unique_ptr<NamedMutex> NamedMutex::CreateOrOpen(const char* name, uint32_t* systemError) {
  HANDLE handle = CreateMutexA(nullptr, FALSE, name);
  if (handle == nullptr) {
    StoreError(systemError, GetLastError());
    return nullptr;
  }
  StoreError(systemError, 0);
  return std::make_unique<Win32NamedMutex>(handle);
}

std::unique_ptr<NamedEvent> NamedEvent::CreateOrOpen(const char* name, bool openToEveryone, uint32_t* systemError) {
  // A descriptor without a DACL lets the camera's consumers, which may run as other users or as
  // services, open the event the engine created.
  SECURITY_DESCRIPTOR descriptor;
  SECURITY_ATTRIBUTES attributes = {};
  SECURITY_ATTRIBUTES* security = nullptr;
  if (openToEveryone && InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
      SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = TRUE;
    security = &attributes;
  }
  HANDLE handle = CreateEventA(security, TRUE, FALSE, name);
  if (handle == nullptr) {
    StoreError(systemError, GetLastError());
    return nullptr;
  }
  StoreError(systemError, 0);
  return std::make_unique<Win32NamedEvent>(handle);
}

std::unique_ptr<SharedSection> SharedSection::CreateOrOpen(const char* name, size_t size, uint32_t* systemError) {
  const uint64_t wideSize = size;
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(wideSize >> 32),
                                      static_cast<DWORD>(wideSize & 0xFFFFFFFFu), name);
  if (mapping == nullptr) {
    StoreError(systemError, GetLastError());
    return nullptr;
  }
  // An existing section keeps its own size; a view larger than it fails here rather than
  // handing out memory that is not there.
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
  if (view == nullptr) {
    StoreError(systemError, GetLastError());
    CloseHandle(mapping);
    return nullptr;
  }
  StoreError(systemError, 0);
  return std::make_unique<Win32SharedSection>(mapping, view, size);
}

}  // namespace kavex::platform
