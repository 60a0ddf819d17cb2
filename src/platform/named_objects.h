#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kavex::platform {

// Kernel objects that the engine shares by name with the virtual camera driver and the programs
// reading the camera. On Windows they are real named objects (CreateMutexA, CreateEventA,
// CreateFileMappingA + MapViewOfFile), visible to other processes. Natively they live in one
// process-wide table keyed by name, which is all the native build needs: its drivers and consumers
// are simulated inside the same process. As on Windows, an object lives while any handle to it does.
// Thread: any; each object may be used from several threads at once.

class NamedMutex {
 public:
  // Creates the mutex (no security attributes, not initially owned) or opens the existing one of
  // that name. Null when neither works; *systemError then holds the reason.
  static std::unique_ptr<NamedMutex> CreateOrOpen(const char* name, uint32_t* systemError);
  virtual ~NamedMutex() = default;
  // True when the calling thread now holds the mutex (a mutex abandoned by its previous holder
  // counts as held); false after timeoutMs without it.
  virtual bool Wait(uint32_t timeoutMs) = 0;
  virtual void Release() = 0;
};

class NamedEvent {
 public:
  // Creates (or opens) a manual-reset event, initially not signalled. openToEveryone: the event
  // gets a security descriptor without a DACL and an inheritable handle, so that a driver or a
  // service running as another user can open it; if that descriptor cannot be built the event gets
  // default security. Null when the event cannot be created or opened.
  static std::unique_ptr<NamedEvent> CreateOrOpen(const char* name, bool openToEveryone, uint32_t* systemError);
  virtual ~NamedEvent() = default;
  virtual void Set() = 0;
  virtual void Reset() = 0;
  // True when the event is (or becomes) signalled within timeoutMs.
  virtual bool Wait(uint32_t timeoutMs) = 0;
};

class SharedSection {
 public:
  // Creates the named section of `size` bytes (page read-write, default security) or opens the
  // existing one, and maps all of it read-write. A new section reads as zeros. Null when the
  // section cannot be created, opened or mapped.
  static std::unique_ptr<SharedSection> CreateOrOpen(const char* name, size_t size, uint32_t* systemError);
  virtual ~SharedSection() = default;  // unmaps the view, closes the handle
  virtual uint8_t* data() = 0;
  virtual size_t size() const = 0;
};

}  // namespace kavex::platform
