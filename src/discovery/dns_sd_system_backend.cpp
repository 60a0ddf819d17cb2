#include "discovery/dns_sd_system_backend.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/error_log.h"
#include "common/trace.h"
#include "discovery/dns_sd_instance_name.h"
#include "discovery/phone_list.h"
#include "platform/sync.h"
#include "platform/thread_name.h"

namespace kavex {

using namespace dnsapi;

// What one run shares with the system's callbacks. It outlives the back-end as long as a callback
// holds it; after End it reports nothing.
struct DnsSdSystemRun {
  uintptr_t token = 0;  // the browse context the system is given
  DnsSystemCalls calls;
  uint32_t (*lastError)() = nullptr;
  bool open = true;                     // new resolves may start; guarded by the pending table's lock
  std::atomic<bool> fullLogged{false};  // the run has recorded that its resolves were full

  // Reports and End exclude each other, so nothing is reported once End has returned.
  platform::Mutex reportMutex;
  PhoneSightingListener* listener = nullptr;  // null once the run has ended
  const std::atomic<bool>* running = nullptr;

  // All addresses of one instance at once: an End that comes between them cannot split them.
  void Report(const PhoneId& id, const SocketAddress* peers, size_t count, uint16_t port) {
    std::lock_guard<platform::Mutex> lock(reportMutex);
    for (size_t i = 0; i < count; ++i) {
      if (listener == nullptr || running == nullptr || !running->load()) return;
      if (Trace::Wants(TraceLevel::kDebug)) {
        SocketAddress session = peers[i];
        session.port = port;
        KAVEX_TRACE_DEBUG("discovery", "system DNS service resolved a phone at %s", session.ToString().c_str());
      }
      listener->OnPhoneFound(
          PhoneSighting::Network(id, static_cast<uint16_t>(kKindServiceDiscoveryPhone), "", peers[i], port));
    }
  }
  void Detach() {
    std::lock_guard<platform::Mutex> lock(reportMutex);
    listener = nullptr;
    running = nullptr;
  }
};

namespace {

constexpr const char16_t* kQueryName = u"_kavexwebcam._tcp.local";
constexpr double kRebrowseInterval = 8.0;  // seconds; the browse must be older than this
constexpr uint32_t kLastBuildThatGoesQuiet = 21995;
constexpr double kResolveWaitSeconds = 2.0;
// The end's wait looks at its clock at least this often; a completion wakes it at once.
constexpr auto kResolveWaitSlice = std::chrono::milliseconds(50);
// Every host on the LAN can add instance records; each one costs a resolve until it completes.
constexpr size_t kMaxPendingResolvesPerRun = 16;
// How long a completion waits for a cancel of its own resolve that another thread has begun. A
// system whose cancel waits for the completion in flight would otherwise never return from it; its
// handle then stays good until the completion returns, so going on after the wait is safe too.
constexpr auto kCancelWaitLimit = std::chrono::milliseconds(2000);

struct ResolveContext {
  enum class Stage {
    kStarting,    // DnsServiceResolve has not returned yet
    kPending,     // under way; cancel holds its handle
    kNotStarted,  // the call failed: no completion is expected, no handle to cancel
    kCancelling,  // a thread is inside DnsServiceResolveCancel with this handle
    kCancelled,   // that call has returned
  };
  uintptr_t token = 0;  // the context the system is given
  std::shared_ptr<DnsSdSystemRun> run;
  DNS_SERVICE_CANCEL cancel{};
  Stage stage = Stage::kStarting;
  bool abandoned = false;       // its run ended while the call was being made: the caller cancels
  unsigned long canceller = 0;  // the system id of the thread cancelling, while kCancelling
};

// The process-wide table through which the system's callbacks find their run and their resolve.
// The system is handed numbers, never addresses: a callback that comes late looks its number up
// under the lock and finds nothing, and a number is never reused for a later context. Never
// destroyed, because a late callback may run during process exit.
// A resolve's handle is used for a cancel only while its completion has not claimed the context,
// and a completion that arrives during that cancel waits for it: the handle is never cancelled
// after the completion has returned, when the system may already have freed what it names. The
// contexts are shared, so whichever side lets go last frees one.
class PendingResolves {
 public:
  using Context = std::shared_ptr<ResolveContext>;

  static PendingResolves& Get() {
    static PendingResolves* const table = new PendingResolves;
    return *table;
  }

  uintptr_t OpenRun(const std::shared_ptr<DnsSdSystemRun>& run) {
    std::lock_guard<platform::Mutex> lock(mutex_);
    run->token = NextToken();
    runs_[run->token] = run;
    releaseCalls_ = run->calls;
    return run->token;
  }

  std::shared_ptr<DnsSdSystemRun> FindRun(uintptr_t token) {
    std::lock_guard<platform::Mutex> lock(mutex_);
    auto it = runs_.find(token);
    return it == runs_.end() ? nullptr : it->second;
  }

  // How to release what a callback without a run was handed: the functions of the latest run
  // (the system's functions are the same for every run of the process).
  DnsSystemCalls ReleaseCalls() {
    std::lock_guard<platform::Mutex> lock(mutex_);
    return releaseCalls_;
  }

  // A new resolve of run; null when the run is ending or has as many resolves as it may.
  Context AddResolve(const std::shared_ptr<DnsSdSystemRun>& run, bool* full) {
    std::lock_guard<platform::Mutex> lock(mutex_);
    *full = false;
    if (!run->open) return nullptr;
    if (CountLocked(run.get()) >= kMaxPendingResolvesPerRun) {
      *full = true;
      return nullptr;
    }
    auto context = std::make_shared<ResolveContext>();
    context->token = NextToken();
    context->run = run;
    pending_.push_back(context);
    return context;
  }

  // What DnsServiceResolve answered. True when the caller must cancel the resolve now (its run
  // ended meanwhile) and then call FinishCancel.
  bool Started(const Context& context, bool pending, const DNS_SERVICE_CANCEL& cancel) {
    std::lock_guard<platform::Mutex> lock(mutex_);
    if (!ContainsLocked(context)) return false;  // completed already, or dropped by the end
    if (!pending) {
      // The context stays: End waits for it and then drops it (or has already left it here).
      if (context->abandoned) EraseLocked(context);
      context->stage = ResolveContext::Stage::kNotStarted;
      return false;
    }
    context->cancel = cancel;
    if (!context->abandoned) {
      context->stage = ResolveContext::Stage::kPending;
      return false;
    }
    context->stage = ResolveContext::Stage::kCancelling;
    context->canceller = platform::CurrentThreadId();
    return true;
  }

  // The completion claims its context; its run, or null when the context is gone.
  std::shared_ptr<DnsSdSystemRun> CompleteResolve(uintptr_t token) {
    std::shared_ptr<DnsSdSystemRun> run;
    {
      std::unique_lock<platform::Mutex> lock(mutex_);
      Context context = FindLocked(token);
      if (context == nullptr) return nullptr;
      // A cancel on another thread may still be using the handle; on this thread it is the cancel
      // that is delivering this completion.
      if (context->stage == ResolveContext::Stage::kCancelling && context->canceller != platform::CurrentThreadId()) {
        changed_.wait_for(lock, kCancelWaitLimit, [&] { return context->stage != ResolveContext::Stage::kCancelling; });
        if (!ContainsLocked(context)) return nullptr;
      }
      run = context->run;
      EraseLocked(context);
    }
    changed_.notify_all();
    return run;
  }

  // No new resolves for the run, and its browse context is forgotten.
  void CloseRun(DnsSdSystemRun* run) {
    std::lock_guard<platform::Mutex> lock(mutex_);
    run->open = false;
    runs_.erase(run->token);
  }

  // Until the run's resolves have all completed, or seconds have passed on clock.
  void WaitForResolves(const DnsSdSystemRun* run, double seconds, Clock& clock) {
    const double deadline = clock.Now() + seconds;
    std::unique_lock<platform::Mutex> lock(mutex_);
    while (CountLocked(run) != 0 && clock.Now() < deadline) changed_.wait_for(lock, kResolveWaitSlice);
  }

  // The next of the run's resolves to cancel, now marked as being cancelled by this thread; null
  // when none is left. Contexts that never started are dropped, and one whose call has not returned
  // yet is left to its caller, which cancels it once it has the handle.
  Context TakeForCancel(const DnsSdSystemRun* run) {
    std::lock_guard<platform::Mutex> lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end();) {
      Context context = *it;
      if (context->run.get() != run || context->abandoned) {
        ++it;
        continue;
      }
      switch (context->stage) {
        case ResolveContext::Stage::kNotStarted:
          it = pending_.erase(it);
          break;
        case ResolveContext::Stage::kStarting:
          context->abandoned = true;
          ++it;
          break;
        case ResolveContext::Stage::kPending:
          context->stage = ResolveContext::Stage::kCancelling;
          context->canceller = platform::CurrentThreadId();
          return context;
        case ResolveContext::Stage::kCancelling:
        case ResolveContext::Stage::kCancelled:
          ++it;
          break;
      }
    }
    return nullptr;
  }

  // The cancel has returned: the context goes, and a completion waiting for the cancel goes on
  // (and finds it gone).
  void FinishCancel(const Context& context) {
    {
      std::lock_guard<platform::Mutex> lock(mutex_);
      context->stage = ResolveContext::Stage::kCancelled;
      EraseLocked(context);
    }
    changed_.notify_all();
  }

  size_t Count() {
    std::lock_guard<platform::Mutex> lock(mutex_);
    return pending_.size();
  }

 private:
  PendingResolves() = default;

  uintptr_t NextToken() {
    const uintptr_t token = nextToken_++;
    if (nextToken_ == 0) nextToken_ = 1;
    return token;
  }
  size_t CountLocked(const DnsSdSystemRun* run) const {
    size_t n = 0;
    for (const auto& context : pending_) n += context->run.get() == run;
    return n;
  }
  Context FindLocked(uintptr_t token) const {
    for (const auto& context : pending_)
      if (context->token == token) return context;
    return nullptr;
  }
  bool ContainsLocked(const Context& context) const {
    return std::find(pending_.begin(), pending_.end(), context) != pending_.end();
  }
  void EraseLocked(const Context& context) {
    auto it = std::find(pending_.begin(), pending_.end(), context);
    if (it != pending_.end()) pending_.erase(it);
  }

  platform::Mutex mutex_;
  platform::ConditionVariable changed_;
  uintptr_t nextToken_ = 1;
  std::map<uintptr_t, std::shared_ptr<DnsSdSystemRun>> runs_;  // by browse context
  std::vector<Context> pending_;                               // in the order they started
  DnsSystemCalls releaseCalls_;
};

uintptr_t Token(void* queryContext) { return reinterpret_cast<uintptr_t>(queryContext); }
// The system hands the token back as its query context: a round trip, not an address made up.
void* QueryContext(uintptr_t token) { return reinterpret_cast<void*>(token); }  // NOLINT(performance-no-int-to-ptr)

// An instance's records are owned by "<32 hex digits>.<service>"; the others (the service's own
// pointer record, the host's addresses) are not resolved.
bool IsInstanceOwner(const char16_t* name) {
  return InstanceNameLength(name, kInstanceIdLength + 1) == kInstanceIdLength + 1 && name[kInstanceIdLength] == u'.';
}

void KAVEX_SYSTEM_API OnResolveComplete(uint32_t status, void* queryContext, DNS_SERVICE_INSTANCE* instance);

void StartResolve(const std::shared_ptr<DnsSdSystemRun>& run, char16_t* instanceName) {
  PendingResolves& table = PendingResolves::Get();
  bool full = false;
  const PendingResolves::Context context = table.AddResolve(run, &full);
  if (context == nullptr) {
    if (full && !run->fullLogged.exchange(true)) ErrorLog::Record(error_codes::kSystemResolvesFull);
    return;
  }
  DNS_SERVICE_RESOLVE_REQUEST request{};
  request.Version = kDnsQueryRequestVersion1;
  request.InterfaceIndex = 0;
  request.QueryName = instanceName;
  request.pResolveCompletionCallback = &OnResolveComplete;
  request.pQueryContext = QueryContext(context->token);
  // The handle is written to the stack first: the completion may already have run, on another
  // thread, by the time the call returns.
  DNS_SERVICE_CANCEL cancel{};
  DNS_STATUS status = -1;
  if (run->calls.serviceResolve != nullptr) status = run->calls.serviceResolve(&request, &cancel);
  if (table.Started(context, status == kDnsRequestPending, cancel)) {
    // The run ended during the call and left this resolve to be cancelled here.
    if (run->calls.serviceResolveCancel != nullptr) run->calls.serviceResolveCancel(&context->cancel);
    table.FinishCancel(context);
    return;
  }
  if (status == kDnsRequestPending) return;
  const uint32_t error = run->lastError != nullptr ? run->lastError() : 0;
  // The context stays pending: End waits for it and then frees it.
  ErrorLog::Record(error_codes::kSystemResolveFailed, ".gle" + std::to_string(error));
}

void KAVEX_SYSTEM_API OnBrowse(uint32_t status, void* queryContext, DNS_RECORDW* records) {
  PendingResolves& table = PendingResolves::Get();
  const std::shared_ptr<DnsSdSystemRun> run = table.FindRun(Token(queryContext));
  const DnsSystemCalls calls = run != nullptr ? run->calls : table.ReleaseCalls();
  if (run != nullptr) {
    // A cancelled browse (every re-browse cancels one) is no error; other errors may still come
    // with usable records.
    if (status != 0 && status != kErrorCancelled) ErrorLog::Record(error_codes::kSystemBrowseFailed);
    for (DNS_RECORDW* record = records; record != nullptr; record = record->pNext)
      if (IsInstanceOwner(record->pName)) StartResolve(run, record->pName);
  }
  if (records != nullptr && calls.dnsFree != nullptr) calls.dnsFree(records, kDnsFreeRecordList);
}

void ReportInstance(DnsSdSystemRun& run, const DNS_SERVICE_INSTANCE& instance) {
  if (InstanceNameLength(instance.pszInstanceName, kInstanceIdLength) < kInstanceIdLength) {
    ErrorLog::Record(error_codes::kSystemInstanceNameTooShort);
    return;
  }
  const PhoneId id = PhoneIdFromInstanceName(instance.pszInstanceName);
  const uint16_t port = instance.wPort;
  SocketAddress peers[2];
  size_t count = 0;
  if (instance.ip4Address != nullptr) {
    SocketAddress& peer = peers[count++];
    peer.family = SocketAddress::Family::kIpv4;
    peer.port = port;
    std::memcpy(peer.address.data(), instance.ip4Address, 4);
  }
  if (instance.ip6Address != nullptr) {
    SocketAddress& peer = peers[count++];
    peer.family = SocketAddress::Family::kIpv6;
    peer.port = port;
    std::memcpy(peer.address.data(), instance.ip6Address->IP6Byte, 16);
  }
  run.Report(id, peers, count, port);
}

void KAVEX_SYSTEM_API OnResolveComplete(uint32_t status, void* queryContext, DNS_SERVICE_INSTANCE* instance) {
  PendingResolves& table = PendingResolves::Get();
  const std::shared_ptr<DnsSdSystemRun> run = table.CompleteResolve(Token(queryContext));
  const DnsSystemCalls calls = run != nullptr ? run->calls : table.ReleaseCalls();
  if (run != nullptr && status == 0 && instance != nullptr) ReportInstance(*run, *instance);
  if (instance != nullptr && calls.serviceFreeInstance != nullptr) calls.serviceFreeInstance(instance);
}

}  // namespace

DnsSdSystemBackend::DnsSdSystemBackend(Loader load) : load_(load) {}

DnsSdSystemBackend::~DnsSdSystemBackend() { End(); }

size_t DnsSdSystemBackend::PendingResolveCount() { return PendingResolves::Get().Count(); }

bool DnsSdSystemBackend::Start(PhoneSightingListener& listener, const std::atomic<bool>& running) {
  End();
  const DnsSdSystemEnvironment* loaded = load_ != nullptr ? load_() : nullptr;
  if (loaded == nullptr || !loaded->calls.Usable()) return false;
  environment_ = *loaded;
  run_ = std::make_shared<DnsSdSystemRun>();
  run_->calls = environment_.calls;
  run_->lastError = environment_.lastError;
  run_->listener = &listener;
  run_->running = &running;
  const uintptr_t token = PendingResolves::Get().OpenRun(run_);
  request_ = DNS_SERVICE_BROWSE_REQUEST{};
  request_.Version = kDnsQueryRequestVersion1;
  request_.InterfaceIndex = 0;
  request_.QueryName = kQueryName;
  request_.pBrowseCallback = &OnBrowse;
  request_.pQueryContext = QueryContext(token);
  Browse();
  return true;
}

void DnsSdSystemBackend::Browse() {
  browseCancel_ = DNS_SERVICE_CANCEL{};
  DNS_STATUS status = -1;
  if (environment_.calls.serviceBrowse != nullptr) status = environment_.calls.serviceBrowse(&request_, &browseCancel_);
  // Only a browse that is under way has a handle that may be cancelled.
  browseActive_ = status == kDnsRequestPending;
  lastBrowse_ = Now();
}

double DnsSdSystemBackend::Now() const {
  return (environment_.clock != nullptr ? *environment_.clock : EngineClock::AsClock()).Now();
}

int DnsSdSystemBackend::RebrowseModeNow() {
  std::atomic<int>* mode = environment_.rebrowseMode;
  if (mode == nullptr) return kNoRebrowse;
  const int known = mode->load();
  if (known != kRebrowseUndecided) return known;
  // Windows 10 before build 21996 lets a browse fall silent; later builds keep it alive.
  platform::SystemVersion version;
  const bool goesQuiet = environment_.systemVersion != nullptr && environment_.systemVersion(&version) &&
                         version.major == 10 && version.build <= kLastBuildThatGoesQuiet;
  int expected = kRebrowseUndecided;
  mode->compare_exchange_strong(expected, goesQuiet ? kRebrowse : kNoRebrowse);
  return mode->load();
}

void DnsSdSystemBackend::Service(std::atomic<int>& budget) {
  if (run_ == nullptr || RebrowseModeNow() != kRebrowse) return;
  if (budget.load() <= 0) return;
  if (!(Now() - lastBrowse_ > kRebrowseInterval)) return;
  budget.fetch_sub(1);
  if (browseActive_ && environment_.calls.serviceBrowseCancel != nullptr)
    environment_.calls.serviceBrowseCancel(&browseCancel_);
  browseActive_ = false;
  Browse();
}

void DnsSdSystemBackend::End() {
  if (run_ == nullptr) return;
  if (browseActive_ && environment_.calls.serviceBrowseCancel != nullptr)
    environment_.calls.serviceBrowseCancel(&browseCancel_);
  browseActive_ = false;
  PendingResolves& table = PendingResolves::Get();
  table.CloseRun(run_.get());
  table.WaitForResolves(run_.get(), kResolveWaitSeconds,
                        environment_.clock != nullptr ? *environment_.clock : EngineClock::AsClock());
  // No report from here on: a completion racing the cancels below finds no listener.
  run_->Detach();
  // The resolves that are still under way are cancelled, not just forgotten: a completion must not
  // call into the engine after the host may have unloaded it. One at a time, each only while its
  // completion has not claimed it (see PendingResolves).
  while (const PendingResolves::Context context = table.TakeForCancel(run_.get())) {
    if (environment_.calls.serviceResolveCancel != nullptr) environment_.calls.serviceResolveCancel(&context->cancel);
    table.FinishCancel(context);
  }
  run_.reset();
}

}  // namespace kavex
