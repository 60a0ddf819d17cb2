#include "broker/phone_broker.h"

#include <algorithm>
#include <string>

#include "broker/adb_watcher.h"
#include "broker/camera_roster.h"
#include "broker/usbmux_device_monitor.h"
#include "common/error_log.h"
#include "common/trace.h"
#include "discovery/network_discovery.h"
#include "platform/address_watch.h"
#include "platform/sync.h"

namespace kavex {

namespace {

constexpr int32_t kLowestChoosableScore = -1000000;

// The phones as a choice saw them, for the trace: key, state, best score, and whether a camera
// holds it. Requires the list lock.
std::string DescribeChoice(const std::vector<std::unique_ptr<PhoneRecord>>& records,
                           const std::vector<PhoneId>& taken) {
  std::string text;
  for (const auto& record : records) {
    if (!record->Selectable()) continue;
    const bool held = std::find(taken.begin(), taken.end(), record->id) != taken.end();
    text += " " + PhoneKey(record->id) + "/" + std::to_string(static_cast<int>(record->state)) + "/" +
            std::to_string(std::max(record->networkScore, record->usbScore)) + (held ? "/held" : "");
  }
  return text.empty() ? " none listed" : text;
}

}  // namespace

PhoneBroker::PhoneBroker(CameraRoster& roster) : roster_(roster), list_(PhoneList::Instance()) {}

PhoneBroker::~PhoneBroker() { Release(0); }

PhoneBroker::Attachment PhoneBroker::Attach() {
  // Held throughout, so that a predecessor's late Release never ends what this attachment starts
  // (its monitor unsubscribing after the new one subscribed, its watcher's window class going).
  std::lock_guard<platform::Mutex> lifecycle(lifecycleMutex_);
  // A predecessor's watcher and monitor go first: the watcher's window class must be free before
  // the new one starts, and the monitor's subscription is one at a time.
  std::shared_ptr<AdbWatcher> previousWatcher;
  std::shared_ptr<UsbmuxDeviceMonitor> previousMonitor;
  {
    std::lock_guard<platform::Mutex> lock(stateMutex_);
    previousWatcher = std::move(adbWatcher_);
    previousMonitor = std::move(usbmuxMonitor_);
  }
  previousMonitor.reset();
  previousWatcher.reset();
  auto discovery = std::make_shared<NetworkDiscovery>(CreateDnsSdDiscovery());
  int error = 0;
  // A request that is merely pending is a started watch: only a refused one comes back null.
  std::shared_ptr<platform::AddressChangeWatch> watch = platform::AddressChangeWatch::Start(&error);
  if (watch == nullptr) ErrorLog::Record(error_codes::kNoAddressWatch);
  std::shared_ptr<NetworkDiscovery> previous;
  std::shared_ptr<platform::AddressChangeWatch> previousWatch;
  Attachment attachment = 0;
  {
    std::lock_guard<platform::Mutex> lock(stateMutex_);
    previous = std::move(discovery_);
    previousWatch = std::move(addressWatch_);
    discovery_ = std::move(discovery);
    addressWatch_ = std::move(watch);
    attachment = ++attachment_;
  }
  // Made after the attachment so that their first reports find the list of this instance 0.
  auto adbWatcher = std::make_shared<AdbWatcher>(this);
  auto usbmuxMonitor = std::make_shared<UsbmuxDeviceMonitor>(this);
  {
    std::lock_guard<platform::Mutex> lock(stateMutex_);
    if (attachment == attachment_) {
      adbWatcher_ = std::move(adbWatcher);
      usbmuxMonitor_ = std::move(usbmuxMonitor);
    }
  }
  return attachment;  // what a predecessor left goes here, with only the lifecycle mutex held
}

void PhoneBroker::StartDiscovery(Attachment attachment) {
  // The watcher and monitor references taken here may be the last ones: under the lifecycle mutex.
  std::lock_guard<platform::Mutex> lifecycle(lifecycleMutex_);
  if (const std::shared_ptr<NetworkDiscovery> discovery = Discovery(attachment)) discovery->Start(this);
  if (const std::shared_ptr<AdbWatcher> watcher = Watcher(attachment)) watcher->SetListener(this);
  if (const std::shared_ptr<UsbmuxDeviceMonitor> monitor = Monitor(attachment)) monitor->SetListener(this);
}

void PhoneBroker::StopDiscovery(Attachment attachment) {
  std::lock_guard<platform::Mutex> lifecycle(lifecycleMutex_);
  if (const std::shared_ptr<NetworkDiscovery> discovery = Discovery(attachment)) discovery->Start(nullptr);
  if (const std::shared_ptr<AdbWatcher> watcher = Watcher(attachment)) watcher->SetListener(nullptr);
  if (const std::shared_ptr<UsbmuxDeviceMonitor> monitor = Monitor(attachment)) monitor->SetListener(nullptr);
}

void PhoneBroker::Release(Attachment attachment) {
  std::lock_guard<platform::Mutex> lifecycle(lifecycleMutex_);
  std::shared_ptr<NetworkDiscovery> discovery;
  std::shared_ptr<platform::AddressChangeWatch> watch;
  std::shared_ptr<AdbWatcher> adbWatcher;
  std::shared_ptr<UsbmuxDeviceMonitor> usbmuxMonitor;
  {
    std::lock_guard<platform::Mutex> lock(stateMutex_);
    if (attachment != 0 && attachment != attachment_) return;
    discovery = std::move(discovery_);
    watch = std::move(addressWatch_);
    adbWatcher = std::move(adbWatcher_);
    usbmuxMonitor = std::move(usbmuxMonitor_);
  }
  // All go with only the lifecycle mutex held: the discovery, the bridge watcher and the
  // multiplexer monitor join their threads, the watch waits for its request.
  usbmuxMonitor.reset();
  adbWatcher.reset();
  watch.reset();
  discovery.reset();
  list_.Clear();
}

bool PhoneBroker::CheckAddresses() {
  std::lock_guard<platform::Mutex> lifecycle(lifecycleMutex_);
  std::shared_ptr<platform::AddressChangeWatch> watch;
  {
    std::lock_guard<platform::Mutex> lock(stateMutex_);
    watch = addressWatch_;
  }
  if (watch == nullptr || !watch->CheckAndRearm()) return false;
  addressChanges_.fetch_add(1);
  KAVEX_TRACE_INFO("broker", "the machine's addresses changed: discovery restarts");
  // The adapters changed: discovery rebuilds its sockets for the new set.
  if (const std::shared_ptr<NetworkDiscovery> discovery = Discovery()) discovery->Start(this);
  // The list may have dropped phones meanwhile: the multiplexer's are told again.
  std::shared_ptr<UsbmuxDeviceMonitor> monitor;
  {
    std::lock_guard<platform::Mutex> lock(stateMutex_);
    monitor = usbmuxMonitor_;
  }
  if (monitor != nullptr) monitor->SetListener(this);
  return true;
}

void PhoneBroker::RestartServiceDiscovery() {
  if (const std::shared_ptr<NetworkDiscovery> discovery = Discovery()) discovery->ResetBrowseBudget();
}

std::shared_ptr<platform::SocketLibrary> PhoneBroker::ShareSockets() {
  std::lock_guard<platform::Mutex> lock(socketsMutex_);
  std::shared_ptr<platform::SocketLibrary> sockets = sockets_.lock();
  if (sockets == nullptr) {
    // The system counts its own start-ups, so one made while the last share is being released
    // meanwhile keeps the library up.
    sockets = std::make_shared<platform::SocketLibrary>();
    sockets_ = sockets;
  }
  return sockets;
}

std::shared_ptr<NetworkDiscovery> PhoneBroker::Discovery(Attachment attachment) const {
  std::lock_guard<platform::Mutex> lock(stateMutex_);
  if (attachment != 0 && attachment != attachment_) return nullptr;
  return discovery_;
}

std::shared_ptr<UsbmuxDeviceMonitor> PhoneBroker::Monitor(Attachment attachment) const {
  std::lock_guard<platform::Mutex> lock(stateMutex_);
  if (attachment != 0 && attachment != attachment_) return nullptr;
  return usbmuxMonitor_;
}

void PhoneBroker::RequestBridgePass() {
  // Under the state lock, so that this thread (a session's) never holds the watcher's last
  // reference, whose destructor joins the watcher's thread; RequestPass takes only a leaf lock.
  std::lock_guard<platform::Mutex> lock(stateMutex_);
  if (adbWatcher_ != nullptr) adbWatcher_->RequestPass();
}

std::shared_ptr<AdbWatcher> PhoneBroker::Watcher(Attachment attachment) const {
  std::lock_guard<platform::Mutex> lock(stateMutex_);
  if (attachment != 0 && attachment != attachment_) return nullptr;
  return adbWatcher_;
}

const PhoneRecord* PhoneBroker::ChooseLocked(int index) {
  // Cameras take phones in index order: wait until every lower camera that takes phones shows one.
  // A slot whose camera the host closed, and a camera whose open failed, take none: the cameras
  // after them would otherwise wait for good (never streaming, or never again after a drop).
  std::vector<PhoneId> taken;
  const std::vector<CameraSlot> cameras = roster_.Cameras();
  for (int i = 0; i < static_cast<int>(cameras.size()); ++i) {
    if (!cameras[i].exists) continue;
    if (i < index && cameras[i].takesPhones && cameras[i].phone.IsZero()) {
      KAVEX_TRACE_DEBUG("broker", "camera %d chooses none: camera %d has no phone", index, i);
      return nullptr;
    }
    taken.push_back(cameras[i].phone);
  }

  std::lock_guard<platform::Mutex> choose(chooseMutex_);
  const PhoneRecord* best = nullptr;
  int32_t bestScore = 0;
  for (const auto& record : list_.records()) {
    if (!record->Selectable()) continue;
    if (record->state != PhoneState::kIdle && record->state != PhoneState::kFailed) continue;
    if (std::find(taken.begin(), taken.end(), record->id) != taken.end()) continue;
    const int32_t score = std::max(record->networkScore, record->usbScore);
    if (best == nullptr || score > bestScore) {
      best = record.get();
      bestScore = score;
    }
  }
  if (best != nullptr && bestScore > kLowestChoosableScore) return best;
  KAVEX_TRACE_INFO("broker", "camera %d chooses none; phone/state/score:%s", index,
                   DescribeChoice(list_.records(), taken).c_str());
  return nullptr;
}

PhoneId PhoneBroker::FindSelectable(const std::string& key) {
  std::lock_guard<platform::Mutex> lock(list_.lock());
  for (const auto& record : list_.records())
    if (record->Selectable() && PhoneKey(record->id) == key) return record->id;
  return PhoneId{};
}

PhoneBroker::Route PhoneBroker::RouteTo(const PhoneId& phone) {
  std::lock_guard<platform::Mutex> lock(list_.lock());
  for (const auto& record : list_.records()) {
    if (record->id != phone) continue;
    if (record->state != PhoneState::kIdle && record->state != PhoneState::kFailed) continue;
    Route route;
    route.peer = record->ipv4Address.empty() ? record->ipv6Address : record->ipv4Address;
    if (record->iosUsbHandle != 0 || record->iosNetworkHandle != 0) {
      route.usbmuxCable = record->iosUsbHandle != 0;
      route.usbmuxHandle = route.usbmuxCable ? record->iosUsbHandle : record->iosNetworkHandle;
      // A refused multiplexer falls back to the network, never to a bridge forward.
    } else if (!record->adbAddress.empty()) {
      route.peer = record->adbAddress;
      route.overUsb = true;
    }
    return route;
  }
  return Route{};  // unknown, or busy with a session already
}

void PhoneBroker::Free(const PhoneId& phone) {
  list_.ResetStateToIdle(phone);
  roster_.OnPhoneListChanged();
}

void PhoneBroker::OnUsbmuxRefused(uint32_t deviceHandle, bool cable) { list_.LowerUsbScore(deviceHandle, cable); }

std::vector<PhoneListEntry> PhoneBroker::ListFor(const PhoneId& current, bool overUsb, bool* reconnectOverUsb) {
  std::vector<PhoneListEntry> entries;
  *reconnectOverUsb = false;
  std::lock_guard<platform::Mutex> lock(list_.lock());
  for (const auto& record : list_.records()) {
    if (record->id == current && record->state == PhoneState::kStreaming) {
      entries.push_back({PhoneKey(record->id), record->name + (overUsb ? " [USB]" : " [WiFi]"), 1});
      // The phone streams over the network but a cable now reaches it: move it to the cable. Only
      // where there is a cable route to take, or the camera would reconnect over the network at
      // every refresh.
      if (!overUsb && record->usbAvailable && (record->iosUsbHandle != 0 || !record->adbAddress.empty()))
        *reconnectOverUsb = true;
    } else if ((record->state == PhoneState::kIdle || record->state == PhoneState::kStreaming ||
                record->state == PhoneState::kPasscodeNeeded) &&
               !record->name.empty()) {
      entries.push_back({PhoneKey(record->id), record->name, 0});
    }
  }
  return entries;
}

PhoneBroker::StateReport PhoneBroker::ReportState(const SessionInfo& session, PhoneState state) {
  const PhoneList::StateChange change = list_.SetPhoneState(session, state);
  if (change.forwardDropped) RequestBridgePass();
  if (change.pruned) roster_.OnPhoneListChanged();
  if (!change.listed) return StateReport::kUnlisted;
  if (!change.changed) return StateReport::kUnchanged;
  if (state != PhoneState::kConnecting) roster_.OnPhoneListChanged();
  return StateReport::kChanged;
}

void PhoneBroker::OnAnnouncement(const PhoneId& sessionPhone, const PhoneId& announced, uint16_t kind,
                                 const std::string& name) {
  list_.UpdateFromAnnouncement(sessionPhone, announced, kind, name);
  roster_.OnPhoneListChanged();
}

void PhoneBroker::OnPhoneFound(const PhoneSighting& sighting) {
  switch (sighting.road) {
    case PhoneRoad::kNetwork: {
      // A phone a camera has chosen (still Idle until its connection starts) is never the one the
      // list drops to make room; asked under the list lock.
      const auto held = [this](const PhoneId& phone) {
        for (const CameraSlot& camera : roster_.Cameras())
          if (camera.exists && camera.phone == phone) return true;
        return false;
      };
      list_.ReportNetworkPhone(sighting.id, sighting.kind, sighting.name, sighting.peer, sighting.port, held);
      break;
    }
    case PhoneRoad::kBridge:
      list_.ReportAdbPhone(sighting.id, sighting.kind, sighting.name, sighting.port);
      break;
    case PhoneRoad::kMultiplexer:
      list_.ReportUsbmuxPhone(sighting.id, sighting.kind, sighting.deviceHandle, sighting.cable, sighting.name);
      break;
  }
  roster_.OnPhoneListChanged();
}

void PhoneBroker::OnPhoneLost(const PhoneSighting& sighting) {
  switch (sighting.road) {
    case PhoneRoad::kNetwork:
      return;  // network phones age out of the list
    case PhoneRoad::kBridge:
      list_.LoseAdbPhone(sighting.id);
      break;
    case PhoneRoad::kMultiplexer:
      list_.LoseUsbmuxPhone(sighting.deviceHandle);
      break;
  }
  if (list_.Prune()) roster_.OnPhoneListChanged();
}

}  // namespace kavex
