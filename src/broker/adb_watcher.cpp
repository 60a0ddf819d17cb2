#include "broker/adb_watcher.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "broker/announcement_probe.h"
#include "broker/usb_notification_thread.h"
#include "common/engine_thread.h"
#include "common/error_log.h"
#include "common/scope_exit.h"
#include "common/trace.h"
#include "platform/sync.h"
#include "platform/usb_notifications.h"

namespace kavex {

namespace {

constexpr int kProbeLimitMs = 2000;      // for the phone's announcement, connect included
constexpr int kArrivalSettleSteps = 20;  // a device that just arrived gets 2 s before the scan
constexpr int kResumeSettleSteps = 50;   // after a resume, 5 s before every device is taken afresh
constexpr auto kStep = std::chrono::milliseconds(100);

}  // namespace

AdbWatcher::AdbWatcher(PhoneSightingListener* listener, Options options)
    : options_(std::move(options)),
      listener_(listener),
      table_(options_.firstAnnouncementPort, options_.firstSessionPort) {
  try {
    thread_ = StartEngineThread("kavex-adb", error_codes::kAdbWatcherThrew, [this] { Run(); });
  } catch (const std::system_error&) {
    running_.store(false);  // no thread: no phones over USB this time
  }
}

AdbWatcher::~AdbWatcher() {
  {
    std::lock_guard<platform::Mutex> lock(napMutex_);
    running_.store(false);
  }
  napWake_.notify_all();
  JoinEngineThread(thread_);
}

void AdbWatcher::SetListener(PhoneSightingListener* listener) {
  std::lock_guard<platform::Mutex> lock(listenerMutex_);
  listener_ = listener;
  if (listener == nullptr) return;
  std::vector<std::pair<Block, uint16_t>> identified;
  {
    std::lock_guard<platform::Mutex> table(tableMutex_);
    for (const AdbDeviceEntry& entry : table_.entries()) identified.emplace_back(entry.announcement, entry.sessionPort);
  }
  for (const auto& [block, sessionPort] : identified) {
    const PhoneAnnouncement announcement = ReadAnnouncementBlock(block);
    if (announcement.kind != 0 && !announcement.id.IsZero())
      listener->OnPhoneFound(PhoneSighting::Bridge(announcement.id, announcement.kind, announcement.name, sessionPort));
  }
}

void AdbWatcher::Run() {
  // However it ends (out of memory, say, which the thread records): phones on a cable are not
  // found until instance 0 is made again.
  const ScopeExit ended([this] { running_.store(false); });
  Watch();
}

void AdbWatcher::Watch() {
  const AdbOutput first = options_.runner("devices", true, running_);
  if (first.missing || AdbDeviceTable::BridgeMissing(first.text)) {
    KAVEX_TRACE_INFO("adb", "no debug bridge on this machine: phones on a cable are not looked for");
    return;
  }
  std::unique_ptr<UsbNotificationThread> notifications = UsbNotificationThread::Start();
  if (notifications == nullptr) return;  // another watcher's window is there

  bool lastPassRequested = false;
  while (running_.load()) {
    Scan();
    std::vector<size_t> lost;
    size_t count = 0;
    {
      std::lock_guard<platform::Mutex> lock(tableMutex_);
      count = table_.entries().size();
    }
    for (size_t i = 0; i < count && running_.load(); ++i)
      if (!Probe(i) && !(Reforward(i) && Probe(i))) lost.push_back(i);
    // A device that did not answer goes, and is forwarded and probed afresh at the next pass.
    for (auto it = lost.rbegin(); it != lost.rend(); ++it) {
      Block announcement;
      {
        std::lock_guard<platform::Mutex> lock(tableMutex_);
        std::vector<AdbDeviceEntry>& entries = table_.entries();
        announcement = entries[*it].announcement;
        entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(*it));
      }
      ReportLost(announcement);
    }

    lastPassRequested = WaitForNextPass(lastPassRequested);
  }
  notifications.reset();
  // The user's session ending leaves the bridge's server for the next one, as the bridge expects.
  if (platform::StopBridgeAtExit()) options_.runner("kill-server", false, running_);
}

void AdbWatcher::Scan() {
  const AdbOutput listing = options_.runner("devices", true, running_);
  if (!running_.load()) return;
  if (listing.missing) {
    // It was there at the first listing and has gone since: worth a record, and a retry next pass.
    ErrorLog::Record(error_codes::kAdbStartFailed, std::to_string(listing.systemError));
    return;
  }
  std::vector<std::string> forwards;
  {
    std::lock_guard<platform::Mutex> lock(tableMutex_);
    if (table_.AddFromListing(listing.text)) forwards = table_.AssignPorts();
  }
  for (const std::string& forward : forwards) {
    if (!running_.load()) return;
    options_.runner(forward, false, running_);
  }
}

bool AdbWatcher::Reforward(size_t index) {
  std::vector<std::string> forwards;
  {
    std::lock_guard<platform::Mutex> lock(tableMutex_);
    const AdbDeviceEntry& entry = table_.entries()[index];
    // One that never answered is simply dropped and forwarded afresh with the next listing.
    if (ReadAnnouncementBlock(entry.announcement).id.IsZero()) return false;
    forwards = AdbDeviceTable::ForwardsOf(entry);
  }
  KAVEX_TRACE_INFO("adb", "an identified phone stopped answering: forwarding its ports again");
  for (const std::string& forward : forwards) {
    if (!running_.load()) return false;
    options_.runner(forward, false, running_);
  }
  return running_.load();
}

bool AdbWatcher::Probe(size_t index) {
  uint16_t announcementPort = 0;
  uint16_t sessionPort = 0;
  {
    std::lock_guard<platform::Mutex> lock(tableMutex_);
    AdbDeviceEntry& entry = table_.entries()[index];
    entry.probing = true;
    announcementPort = entry.announcementPort;
    sessionPort = entry.sessionPort;
  }
  Block block{};
  if (!ProbeAnnouncement(SocketAddress::Ipv4(127, 0, 0, 1, announcementPort), kProbeLimitMs, running_, &block))
    return false;
  // A block without an identifier names no phone: the all-zero identifier means "none" everywhere.
  const PhoneAnnouncement announcement = ReadAnnouncementBlock(block);
  if (announcement.id.IsZero()) return false;
  {
    std::lock_guard<platform::Mutex> lock(tableMutex_);
    AdbDeviceEntry& entry = table_.entries()[index];
    entry.probing = false;
    entry.announcement = block;
  }
  ReportFound(announcement, sessionPort);
  return true;
}

void AdbWatcher::ReportFound(const PhoneAnnouncement& announcement, uint16_t sessionPort) {
  std::lock_guard<platform::Mutex> lock(listenerMutex_);
  if (running_.load() && listener_ != nullptr)
    listener_->OnPhoneFound(PhoneSighting::Bridge(announcement.id, announcement.kind, announcement.name, sessionPort));
}

void AdbWatcher::ReportLost(const Block& block) {
  const PhoneAnnouncement announcement = ReadAnnouncementBlock(block);
  std::lock_guard<platform::Mutex> lock(listenerMutex_);
  if (running_.load() && listener_ != nullptr)
    listener_->OnPhoneLost(PhoneSighting::Bridge(announcement.id, announcement.kind, announcement.name, 0));
}

bool AdbWatcher::WaitForNextPass(bool lastPassRequested) {
  using platform::UsbEvent;
  bool requested = false;
  for (int i = 0; i < options_.passWaitSteps && running_.load() && platform::CurrentUsbEvent() == UsbEvent::kNone;
       ++i) {
    // After a pass that was brought forward, requests wait for the regular pass.
    const bool asked = passRequested_.exchange(false);
    if (asked && !lastPassRequested) {
      KAVEX_TRACE_INFO("adb", "a session through a forward was refused: the next pass now");
      requested = true;
      break;
    }
    Nap(true);
  }
  for (int i = 0; i < kArrivalSettleSteps && running_.load() && platform::CurrentUsbEvent() == UsbEvent::kArrived;
       ++i) {
    Nap();
  }
  if (platform::CurrentUsbEvent() == UsbEvent::kResumed) {
    for (int i = 0; i < kResumeSettleSteps && running_.load(); ++i) Nap();
    // After sleep the bridge's forwards may be gone: every device is taken afresh, unreported.
    std::lock_guard<platform::Mutex> lock(tableMutex_);
    table_.Clear();
  }
  platform::ResetUsbEvent();
  return requested;
}

void AdbWatcher::RequestPass() {
  {
    std::lock_guard<platform::Mutex> lock(napMutex_);
    passRequested_.store(true);
  }
  napWake_.notify_all();
}

void AdbWatcher::Nap(bool wakeOnRequest) {
  std::unique_lock<platform::Mutex> lock(napMutex_);
  napWake_.wait_for(lock, kStep,
                    [this, wakeOnRequest] { return !running_.load() || (wakeOnRequest && passRequested_.load()); });
}

}  // namespace kavex
