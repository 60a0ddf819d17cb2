#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/phone_id.h"
#include "common/phone_state.h"
#include "platform/socket_address.h"
#include "platform/sync.h"

namespace kavex {

// Phone kinds that the engine may connect to: announced phones and phones found by DNS service
// discovery.
constexpr uint32_t kKindNetworkPhone = 2;
constexpr uint32_t kKindServiceDiscoveryPhone = 7;

// One phone, whatever path found it. Read and written only under the list lock.
struct PhoneRecord {
  static constexpr size_t kMaxNameLength = 255;

  uint32_t kind = 0;
  PhoneId id;
  std::string name;               // at most 255 bytes
  SocketAddress ipv4Address;      // where it was heard on IPv4, port = its session port
  SocketAddress ipv6Address;      // the same on IPv6
  uint32_t iosNetworkHandle = 0;  // multiplexing service, over the network
  uint32_t iosUsbHandle = 0;      // multiplexing service, on a cable
  bool usbAvailable = false;      // reachable over a cable right now
  SocketAddress adbAddress;       // 127.0.0.1 and the debug bridge's forwarded port
  PhoneState state = PhoneState::kIdle;
  int32_t networkScore = 0;
  int32_t usbScore = 0;
  uint64_t lastNetworkReport = 0;  // the list's count of network reports when this one was heard

  bool Selectable() const { return kind == kKindNetworkPhone || kind == kKindServiceDiscoveryPhone; }
  bool Reachable() const {
    return !ipv4Address.empty() || !ipv6Address.empty() || !adbAddress.empty() || iosUsbHandle != 0 ||
           iosNetworkHandle != 0;
  }
  // Reached by network addresses alone: no bridge forward, no multiplexer handle.
  bool NetworkOnly() const { return adbAddress.empty() && iosUsbHandle == 0 && iosNetworkHandle == 0; }
  // A session is using it or about to.
  bool InSession() const {
    return state == PhoneState::kConnecting || state == PhoneState::kStreaming || state == PhoneState::kPasscodeNeeded;
  }
};

// The decimal text by which the host names a phone: the identifier's first four bytes as a
// little-endian signed integer.
std::string PhoneKey(const PhoneId& id);

// A connection's view of itself, as the state reports need it.
struct SessionInfo {
  PhoneId id;
  bool overUsb = false;  // through the multiplexing service to a phone on a cable
  SocketAddress peer;
};

// The process-wide list of phones, in the order they were first reported, shared by every instance.
// Thread: any. One mutex (the list lock) guards the array and every record. The operations below
// take it themselves and return what the caller must do once it is released (refresh every
// instance, tell the host): nothing reaches the host or another instance while it is held.
class PhoneList {
 public:
  static PhoneList& Instance();

  platform::Mutex& lock() { return mutex_; }
  // Require lock() held.
  std::vector<std::unique_ptr<PhoneRecord>>& records() { return records_; }
  PhoneRecord* FindLocked(const PhoneId& id);

  // Appends a record as it is (tests and the reporting operations).
  void Append(std::unique_ptr<PhoneRecord> record);

  // Any host on the LAN can announce made-up identifiers, so at most this many network-only records
  // are kept: a new one pushes out the one heard from longest ago that no session uses.
  static constexpr size_t kMaxNetworkOnlyRecords = 64;
  // Tells whether an instance holds the phone as its current one; called under the list lock.
  using HeldByInstance = std::function<bool(const PhoneId&)>;

  // The three discovery paths. A reported name replaces the stored one only when it is not empty.
  // A network report that adds a record beyond kMaxNetworkOnlyRecords drops the network-only record
  // heard from longest ago that is neither in a session nor held (an empty held: none is); the new
  // record itself always stays.
  void ReportNetworkPhone(const PhoneId& id, uint16_t kind, const std::string& name, const SocketAddress& peer,
                          uint16_t port, const HeldByInstance& held = HeldByInstance());
  void ReportAdbPhone(const PhoneId& id, uint16_t kind, const std::string& name, uint16_t localPort);
  void LoseAdbPhone(const PhoneId& id);
  void ReportUsbmuxPhone(const PhoneId& id, uint16_t kind, uint32_t deviceHandle, bool overUsb,
                         const std::string& name);
  void LoseUsbmuxPhone(uint32_t deviceHandle);

  struct StateChange {
    bool changed = false;         // the record's state differed from the new one
    bool listed = false;          // the phone had a record
    bool pruned = false;          // records were dropped: every instance must refresh
    bool forwardDropped = false;  // a failure through the phone's bridge forward dropped it
  };
  // A session's report. Scores rise on streaming and fall on failure; a failure drops the address
  // that failed. Ends by pruning unreachable records.
  StateChange SetPhoneState(const SessionInfo& session, PhoneState state);
  // A phone named itself on a session: the announced record and the session's record take the
  // announced name (even an empty one) and kind.
  void UpdateFromAnnouncement(const PhoneId& sessionId, const PhoneId& announcedId, uint16_t kind,
                              const std::string& name);
  // The multiplexing service refused a session with this device: the phone's USB score falls by
  // one; a refused cable handle also stops counting as a cable that reaches the phone, until the
  // service reports the phone again.
  void LowerUsbScore(uint32_t deviceHandle, bool cable);
  // Drops records that no path reaches any more. True when any was dropped.
  bool Prune();

  // Sets the first matching record to Idle with none of the effects of a reported state change.
  void ResetStateToIdle(const PhoneId& id);
  PhoneState GetPhoneState(const PhoneId& id);
  // The record's name, or "Phone" when no record has this identifier.
  std::string GetPhoneName(const PhoneId& id);
  void Clear();
  size_t Size();

 private:
  PhoneRecord& FindOrAppendLocked(const PhoneId& id, uint16_t kind);
  void DropStaleNetworkOnlyLocked(const PhoneRecord& added, const HeldByInstance& held);

  platform::Mutex mutex_;
  std::vector<std::unique_ptr<PhoneRecord>> records_;
  uint64_t networkReports_ = 0;
};

}  // namespace kavex
