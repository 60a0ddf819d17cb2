#include "discovery/phone_list.h"

#include <algorithm>
#include "platform/sync.h"

namespace kavex {

namespace {

constexpr int32_t kNetworkScoreFloor = -10;
constexpr int32_t kGiveUpBelow = -10;
constexpr int32_t kAdbUsbScore = 1;
constexpr int32_t kUsbmuxUsbScore = 5;

void ApplyNameRule(PhoneRecord& record, const std::string& name) {
  if (!name.empty()) record.name = name.substr(0, PhoneRecord::kMaxNameLength);
}

// A failed phone is not listed, and when every camera has a phone nobody tries it again: a phone
// that failed once (it vanished, its app restarted) would stay out of the hosts' lists for good
// while it announces itself. Being found again is the news that it is back.
void SeenAgain(PhoneRecord& record) {
  if (record.state == PhoneState::kFailed) record.state = PhoneState::kIdle;
}

// A success raises a score by one; a score that had gone negative starts again from 0.
int32_t Raised(int32_t score) { return score + 1 > 0 ? score + 1 : 0; }

SocketAddress WithPort(SocketAddress address, uint16_t port) {
  address.port = port;
  return address;
}

}  // namespace

std::string PhoneKey(const PhoneId& id) {
  const uint32_t raw = static_cast<uint32_t>(id.bytes[0]) | (static_cast<uint32_t>(id.bytes[1]) << 8) |
                       (static_cast<uint32_t>(id.bytes[2]) << 16) | (static_cast<uint32_t>(id.bytes[3]) << 24);
  return std::to_string(static_cast<int32_t>(raw));
}

PhoneList& PhoneList::Instance() {
  static PhoneList list;
  return list;
}

PhoneRecord* PhoneList::FindLocked(const PhoneId& id) {
  for (auto& record : records_)
    if (record->id == id) return record.get();
  return nullptr;
}

PhoneRecord& PhoneList::FindOrAppendLocked(const PhoneId& id, uint16_t kind) {
  if (PhoneRecord* record = FindLocked(id)) return *record;
  auto record = std::make_unique<PhoneRecord>();
  record->id = id;
  record->kind = kind;
  records_.push_back(std::move(record));
  return *records_.back();
}

void PhoneList::Append(std::unique_ptr<PhoneRecord> record) {
  std::lock_guard<platform::Mutex> guard(mutex_);
  records_.push_back(std::move(record));
}

void PhoneList::ReportNetworkPhone(const PhoneId& id, uint16_t kind, const std::string& name, const SocketAddress& peer,
                                   uint16_t port, const HeldByInstance& held) {
  std::lock_guard<platform::Mutex> guard(mutex_);
  const bool known = FindLocked(id) != nullptr;
  PhoneRecord& record = FindOrAppendLocked(id, kind);  // an existing record keeps its kind
  if (peer.family == SocketAddress::Family::kIpv4) {
    record.ipv4Address = WithPort(peer, port);
  } else if (peer.family == SocketAddress::Family::kIpv6) {
    record.ipv6Address = WithPort(peer, port);
  }
  ApplyNameRule(record, name);
  SeenAgain(record);
  record.lastNetworkReport = ++networkReports_;
  if (!known) DropStaleNetworkOnlyLocked(record, held);
}

void PhoneList::DropStaleNetworkOnlyLocked(const PhoneRecord& added, const HeldByInstance& held) {
  size_t networkOnly = 0;
  for (const auto& record : records_) networkOnly += record->NetworkOnly();
  if (networkOnly <= kMaxNetworkOnlyRecords) return;

  std::vector<PhoneRecord*> candidates;
  for (const auto& record : records_)
    if (record.get() != &added && record->NetworkOnly() && !record->InSession()) candidates.push_back(record.get());
  std::sort(candidates.begin(), candidates.end(),
            [](const PhoneRecord* a, const PhoneRecord* b) { return a->lastNetworkReport < b->lastNetworkReport; });
  size_t excess = networkOnly - kMaxNetworkOnlyRecords;
  std::vector<const PhoneRecord*> dropped;
  for (PhoneRecord* candidate : candidates) {
    if (excess == 0) break;
    if (held && held(candidate->id)) continue;
    dropped.push_back(candidate);
    --excess;
  }
  // Records in use are never dropped: the list may stay over the bound by those until later reports
  // find older ones free.
  records_.erase(std::remove_if(records_.begin(), records_.end(),
                                [&](const std::unique_ptr<PhoneRecord>& record) {
                                  return std::find(dropped.begin(), dropped.end(), record.get()) != dropped.end();
                                }),
                 records_.end());
}

void PhoneList::ReportAdbPhone(const PhoneId& id, uint16_t kind, const std::string& name, uint16_t localPort) {
  std::lock_guard<platform::Mutex> guard(mutex_);
  PhoneRecord& record = FindOrAppendLocked(id, kind);
  record.usbAvailable = true;
  record.usbScore = kAdbUsbScore;
  record.adbAddress = SocketAddress::Ipv4(127, 0, 0, 1, localPort);
  ApplyNameRule(record, name);
  SeenAgain(record);
}

void PhoneList::LoseAdbPhone(const PhoneId& id) {
  std::lock_guard<platform::Mutex> guard(mutex_);
  if (PhoneRecord* record = FindLocked(id)) {
    record->usbAvailable = false;
    record->adbAddress = SocketAddress{};
  }
}

void PhoneList::ReportUsbmuxPhone(const PhoneId& id, uint16_t kind, uint32_t deviceHandle, bool overUsb,
                                  const std::string& name) {
  std::lock_guard<platform::Mutex> guard(mutex_);
  PhoneRecord* record = FindLocked(id);
  const bool known = record != nullptr;
  if (!known) record = &FindOrAppendLocked(id, kind);
  if (overUsb) {
    record->iosUsbHandle = deviceHandle;
    record->usbAvailable = true;
  } else {
    record->iosNetworkHandle = deviceHandle;
  }
  // Only a phone already known some other way earns the multiplexer's head start.
  if (known) record->usbScore = kUsbmuxUsbScore;
  ApplyNameRule(*record, name);
  SeenAgain(*record);
}

void PhoneList::LoseUsbmuxPhone(uint32_t deviceHandle) {
  std::lock_guard<platform::Mutex> guard(mutex_);
  for (auto& record : records_) {
    if (record->iosUsbHandle == deviceHandle) {
      record->iosUsbHandle = 0;
      record->usbAvailable = false;
    }
    if (record->iosNetworkHandle == deviceHandle) record->iosNetworkHandle = 0;
  }
}

PhoneList::StateChange PhoneList::SetPhoneState(const SessionInfo& session, PhoneState state) {
  StateChange result;
  {
    std::lock_guard<platform::Mutex> guard(mutex_);
    PhoneRecord* record = FindLocked(session.id);
    result.listed = record != nullptr;
    if (record != nullptr) {
      result.changed = record->state != state;
      record->state = state;
      if (state == PhoneState::kStreaming) {
        const bool viaUsb = session.overUsb || (record->kind == kKindNetworkPhone && record->usbAvailable);
        int32_t& score = viaUsb ? record->usbScore : record->networkScore;
        score = Raised(score);
      } else if (state == PhoneState::kFailed) {
        // An empty peer (a multiplexer session) is no bridge forward, even on a record without one.
        if (record->kind == kKindNetworkPhone && !session.peer.empty() && record->adbAddress == session.peer) {
          record->usbAvailable = false;
          record->adbAddress = SocketAddress{};
          result.forwardDropped = true;
        } else if (session.overUsb) {
          const int32_t old = record->usbScore--;
          if (old < kGiveUpBelow) record->usbAvailable = false;
        } else if (record->ipv4Address == session.peer) {
          record->ipv4Address = SocketAddress{};
          record->networkScore = std::max(record->networkScore - 1, kNetworkScoreFloor);
        } else if (record->ipv6Address == session.peer) {
          record->ipv6Address = SocketAddress{};
          record->networkScore = std::max(record->networkScore - 1, kNetworkScoreFloor);
        } else {
          const int32_t old = record->networkScore--;
          if (old < kGiveUpBelow) {
            record->ipv4Address = SocketAddress{};
            record->ipv6Address = SocketAddress{};
          }
        }
      }
    }
  }
  result.pruned = Prune();
  return result;
}

void PhoneList::UpdateFromAnnouncement(const PhoneId& sessionId, const PhoneId& announcedId, uint16_t kind,
                                       const std::string& name) {
  std::lock_guard<platform::Mutex> guard(mutex_);
  for (auto& record : records_) {
    if (record->id == announcedId || record->id == sessionId) {
      record->name = name.substr(0, PhoneRecord::kMaxNameLength);
      record->kind = kind;
    }
  }
}

void PhoneList::LowerUsbScore(uint32_t deviceHandle, bool cable) {
  std::lock_guard<platform::Mutex> guard(mutex_);
  for (auto& record : records_) {
    if (record->iosNetworkHandle == deviceHandle || record->iosUsbHandle == deviceHandle) {
      record->usbScore -= 1;
      if (cable && record->iosUsbHandle == deviceHandle) record->usbAvailable = false;
      return;
    }
  }
}

bool PhoneList::Prune() {
  std::lock_guard<platform::Mutex> guard(mutex_);
  const size_t before = records_.size();
  records_.erase(std::remove_if(records_.begin(), records_.end(),
                                [](const std::unique_ptr<PhoneRecord>& record) { return !record->Reachable(); }),
                 records_.end());
  return records_.size() != before;
}

void PhoneList::ResetStateToIdle(const PhoneId& id) {
  std::lock_guard<platform::Mutex> guard(mutex_);
  if (PhoneRecord* record = FindLocked(id)) record->state = PhoneState::kIdle;
}

PhoneState PhoneList::GetPhoneState(const PhoneId& id) {
  std::lock_guard<platform::Mutex> guard(mutex_);
  const PhoneRecord* record = FindLocked(id);
  return record != nullptr ? record->state : PhoneState::kIdle;
}

std::string PhoneList::GetPhoneName(const PhoneId& id) {
  std::lock_guard<platform::Mutex> guard(mutex_);
  const PhoneRecord* record = FindLocked(id);
  return record != nullptr ? record->name : std::string("Phone");
}

void PhoneList::Clear() {
  std::lock_guard<platform::Mutex> guard(mutex_);
  records_.clear();
}

size_t PhoneList::Size() {
  std::lock_guard<platform::Mutex> guard(mutex_);
  return records_.size();
}

}  // namespace kavex
