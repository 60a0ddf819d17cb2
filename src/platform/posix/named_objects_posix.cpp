#include "platform/named_objects.h"

#include <sys/mman.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace kavex::platform {

namespace {

// The engine records these codes in its error log, so the native build reports the numbers the
// Windows calls give in the same situations.
constexpr uint32_t kErrorAccessDenied = 5;   // a view larger than the existing section
constexpr uint32_t kErrorInvalidHandle = 6;  // the name belongs to another kind of object
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

void StoreError(uint32_t* systemError, uint32_t code) {
  if (systemError != nullptr) *systemError = code;
}

template <typename Ready>
bool WaitUntilReady(std::condition_variable& changed, std::unique_lock<std::mutex>& lock, uint32_t timeoutMs,
                    Ready ready) {
  if (timeoutMs == kInfinite) {
    changed.wait(lock, ready);
    return true;
  }
  return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

// What every handle of one object shares. The table below keeps only weak references, so the
// object goes with its last handle, as a kernel object does.
class ObjectState {
 public:
  ObjectState() = default;
  virtual ~ObjectState() = default;
  ObjectState(const ObjectState&) = delete;
  ObjectState& operator=(const ObjectState&) = delete;
  ObjectState(ObjectState&&) = delete;
  ObjectState& operator=(ObjectState&&) = delete;
};

// Thread: any. A Windows mutex: owned by a thread, re-entrant for that thread, released only by
// it (a release from another thread is ignored, as ReleaseMutex refuses it).
class MutexState final : public ObjectState {
 public:
  bool Acquire(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::thread::id self = std::this_thread::get_id();
    if (depth_ > 0 && owner_ == self) {
      ++depth_;
      return true;
    }
    if (!WaitUntilReady(released_, lock, timeoutMs, [this] { return depth_ == 0; })) return false;
    owner_ = self;
    depth_ = 1;
    return true;
  }

  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (depth_ == 0 || owner_ != std::this_thread::get_id()) return;
    if (--depth_ == 0) {
      owner_ = std::thread::id();
      released_.notify_one();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  std::thread::id owner_;
  uint32_t depth_ = 0;
};

// Thread: any. A manual-reset event.
class EventState final : public ObjectState {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
    changed_.notify_all();
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = false;
  }
  bool Wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return WaitUntilReady(changed_, lock, timeoutMs, [this] { return signalled_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool signalled_ = false;
};

// Owns an anonymous mapping: it reads as zeros and costs memory only for the pages touched,
// which matters for the camera section's 50 MB.
class SectionState final : public ObjectState {
 public:
  static std::shared_ptr<SectionState> Map(size_t size, uint32_t* systemError) {
    if (size == 0) {
      StoreError(systemError, kErrorInvalidParameter);
      return nullptr;
    }
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) {
      StoreError(systemError, kErrorNotEnoughMemory);
      return nullptr;
    }
    return std::shared_ptr<SectionState>(new SectionState(static_cast<uint8_t*>(memory), size));
  }
  ~SectionState() override { munmap(memory_, size_); }
  SectionState(const SectionState&) = delete;
  SectionState& operator=(const SectionState&) = delete;
  SectionState(SectionState&&) = delete;
  SectionState& operator=(SectionState&&) = delete;

  uint8_t* memory() const { return memory_; }
  size_t size() const { return size_; }

 private:
  SectionState(uint8_t* memory, size_t size) : memory_(memory), size_(size) {}
  uint8_t* memory_;
  size_t size_;
};

// Thread: any (one lock). The process's object namespace: name -> the live object of that name.
// Mutexes, events and sections share it, as they share the kernel's namespace. An object without
// a name is private to its handle and never enters the table.
class ObjectTable {
 public:
  static ObjectTable& Instance() {
    // Nothing ever calls back into the table when a handle goes, so handles that outlive it at
    // exit are harmless.
    static ObjectTable table;
    return table;
  }

  // The live object called name if there is one (null with kErrorInvalidHandle when it is of
  // another kind), else a new one from create(systemError). *created tells which.
  template <typename State, typename Create>
  std::shared_ptr<State> FindOrCreate(const char* name, Create create, bool* created, uint32_t* systemError) {
    *created = true;
    if (name == nullptr || *name == '\0') return create(systemError);
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = objects_.find(name);
    if (found != objects_.end()) {
      if (std::shared_ptr<ObjectState> existing = found->second.lock()) {
        *created = false;
        std::shared_ptr<State> typed = std::dynamic_pointer_cast<State>(existing);
        if (typed == nullptr) StoreError(systemError, kErrorInvalidHandle);
        return typed;
      }
    }
    std::shared_ptr<State> fresh = create(systemError);
    if (fresh == nullptr) return nullptr;
    ForgetDeadObjects();
    objects_[name] = fresh;
    return fresh;
  }

 private:
  void ForgetDeadObjects() {
    for (auto entry = objects_.begin(); entry != objects_.end();) {
      entry = entry->second.expired() ? objects_.erase(entry) : std::next(entry);
    }
  }

  std::mutex mutex_;
  std::map<std::string, std::weak_ptr<ObjectState>> objects_;
};

class PosixNamedMutex final : public NamedMutex {
 public:
  explicit PosixNamedMutex(std::shared_ptr<MutexState> state) : state_(std::move(state)) {}
  bool Wait(uint32_t timeoutMs) override { return state_->Acquire(timeoutMs); }
  void Release() override { state_->Release(); }

 private:
  std::shared_ptr<MutexState> state_;
};

class PosixNamedEvent final : public NamedEvent {
 public:
  explicit PosixNamedEvent(std::shared_ptr<EventState> state) : state_(std::move(state)) {}
  void Set() override { state_->Set(); }
  void Reset() override { state_->Reset(); }
  bool Wait(uint32_t timeoutMs) override { return state_->Wait(timeoutMs); }

 private:
  std::shared_ptr<EventState> state_;
};

// A view of `size` bytes, which may be fewer than the section has (as a smaller view would be).
class PosixSharedSection final : public SharedSection {
 public:
  PosixSharedSection(std::shared_ptr<SectionState> state, size_t size) : state_(std::move(state)), size_(size) {}
  uint8_t* data() override { return state_->memory(); }
  size_t size() const override { return size_; }

 private:
  std::shared_ptr<SectionState> state_;
  size_t size_;
};

}  // namespace

std::unique_ptr<NamedMutex> NamedMutex::CreateOrOpen(const char* name, uint32_t* systemError) {
  bool created = false;
  std::shared_ptr<MutexState> state = ObjectTable::Instance().FindOrCreate<MutexState>(
      name, [](uint32_t*) { return std::make_shared<MutexState>(); }, &created, systemError);
  if (state == nullptr) return nullptr;
  StoreError(systemError, 0);
  return std::make_unique<PosixNamedMutex>(std::move(state));
}

std::unique_ptr<NamedEvent> NamedEvent::CreateOrOpen(const char* name, bool /*openToEveryone*/, uint32_t* systemError) {
  // One process, one user: there is nobody to open the event to.
  bool created = false;
  std::shared_ptr<EventState> state = ObjectTable::Instance().FindOrCreate<EventState>(
      name, [](uint32_t*) { return std::make_shared<EventState>(); }, &created, systemError);
  if (state == nullptr) return nullptr;
  StoreError(systemError, 0);
  return std::make_unique<PosixNamedEvent>(std::move(state));
}

std::unique_ptr<SharedSection> SharedSection::CreateOrOpen(const char* name, size_t size, uint32_t* systemError) {
  bool created = false;
  std::shared_ptr<SectionState> state = ObjectTable::Instance().FindOrCreate<SectionState>(
      name, [size](uint32_t* error) { return SectionState::Map(size, error); }, &created, systemError);
  if (state == nullptr) return nullptr;
  if (!created && size > state->size()) {
    StoreError(systemError, kErrorAccessDenied);
    return nullptr;
  }
  StoreError(systemError, 0);
  return std::make_unique<PosixSharedSection>(std::move(state), size);
}

}  // namespace kavex::platform
