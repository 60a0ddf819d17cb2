#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/phone_id.h"
#include "common/phone_state.h"
#include "discovery/phone_list.h"
#include "discovery/phone_sighting.h"
#include "platform/socket_address.h"
#include "platform/sync.h"

namespace kavex {

class AdbWatcher;
class UsbmuxDeviceMonitor;
class CameraRoster;
class NetworkDiscovery;
namespace platform {
class AddressChangeWatch;
class SocketLibrary;
}  // namespace platform

// The process-wide side of finding phones, shared by every camera: the phone list, the choice of a
// phone for a camera, the discovery paths (multicast announcements and DNS-SD; the debug bridge and
// the multiplexing service report here too), the watch on the machine's addresses and the socket
// library. Engine instance 0 attaches it when it is created, starts and stops its discovery as it
// opens and stops, and releases it when it goes; it carries none of this state itself.
//
// Thread: Attach, StartDiscovery, StopDiscovery and Release on instance 0's host or teardown thread;
// CheckAddresses on instance 0's worker; the listeners on the discovery threads; the rest on any
// camera's worker, receive or host thread. Locks: the list lock -> the choice mutex -> whatever
// Cameras takes; stateMutex_ is a leaf. Nothing is joined and the roster is never told of a
// change while any of them is held. lifecycleMutex_ (outermost, before stateMutex_) orders the
// attachments' comings and goings: an instance 0 torn down late on a teardown thread may release
// its attachment while its successor attaches, and the monitor's subscription and the watcher's
// window class are one per process, so one attachment's watcher and monitor are gone before the
// next one's start. It is held while their threads are joined; nothing those threads run takes it.
class PhoneBroker final : public PhoneSightingListener {
 public:
  explicit PhoneBroker(CameraRoster& roster);
  ~PhoneBroker() override;
  PhoneBroker(const PhoneBroker&) = delete;
  PhoneBroker& operator=(const PhoneBroker&) = delete;

  // Instance 0 is created: a new network discovery and address watch (not running yet), a new
  // debug bridge watcher and a new multiplexing service monitor (running, reporting here). The
  // attachment names them: an instance 0 whose teardown finishes late on a teardown thread must not
  // stop or release what its successor attached meanwhile.
  using Attachment = uint64_t;
  Attachment Attach();
  void StartDiscovery(Attachment attachment);
  // Stops the discovery thread and waits for it; safe when none runs.
  void StopDiscovery(Attachment attachment);
  // Instance 0 goes: discovery and watch released, the list emptied.
  void Release(Attachment attachment);
  // Instance 0's worker, about once a second: when the machine's addresses changed, discovery
  // rebuilds its sockets for the new set. True then.
  bool CheckAddresses();
  int addressChanges() const { return addressChanges_.load(); }
  // The host asked to look for phones again.
  void RestartServiceDiscovery();
  // A share of the socket library: it stays up while any camera holds one, so no camera's going
  // away resets the others' connections.
  std::shared_ptr<platform::SocketLibrary> ShareSockets();

  // The best free phone for the camera with this index, or zero: cameras take phones in index
  // order, so none while a lower index shows none. claim() runs under the list lock, so no other
  // camera's choice can take the same phone.
  template <typename Claim>
  PhoneId ChooseFor(int index, Claim&& claim) {
    std::lock_guard<platform::Mutex> lock(list_.lock());
    const PhoneRecord* best = ChooseLocked(index);
    if (best == nullptr) return PhoneId{};
    claim(best->id);
    return best->id;
  }
  // claim() runs under the list lock: a camera choosing at the same time either sees the claim
  // and passes the phone over, or has claimed it first (and the claimant makes it yield).
  template <typename Claim>
  void ClaimFor(Claim&& claim) {
    std::lock_guard<platform::Mutex> lock(list_.lock());
    claim();
  }
  // The selectable phone the host names by this key, or zero.
  PhoneId FindSelectable(const std::string& key);

  // Where to reach a phone that is free for a session. First the multiplexing service, when it
  // knows the phone: its cable handle, else its network handle (usbmuxHandle, usbmuxCable). Then,
  // or when the service refuses, TCP to peer: the debug bridge's forward when there is one and no
  // multiplexer handle (overUsb), else the network address. Empty when the phone is unknown or busy.
  struct Route {
    uint32_t usbmuxHandle = 0;
    bool usbmuxCable = false;
    SocketAddress peer;
    bool overUsb = false;
  };
  Route RouteTo(const PhoneId& phone);
  // The multiplexing service refused a session with the device: the phone's score through it
  // falls, and a refused cable no longer draws a phone streaming over the network onto it.
  void OnUsbmuxRefused(uint32_t deviceHandle, bool cable);

  // The list as the host of a camera showing `current` sees it; reconnectOverUsb tells that the
  // phone streams over the network while a cable now reaches it.
  std::vector<PhoneListEntry> ListFor(const PhoneId& current, bool overUsb, bool* reconnectOverUsb);

  // A session's report; the roster hears of it as the change requires. kChanged: the phone's state
  // in the list changed (the camera's host is then told). kUnlisted: the phone has no record any
  // more (its cable was pulled or its addresses went before its session ended); only the session
  // knows what its host last heard then.
  enum class StateReport { kUnchanged, kChanged, kUnlisted };
  StateReport ReportState(const SessionInfo& session, PhoneState state);
  PhoneState StateOf(const PhoneId& phone) { return list_.GetPhoneState(phone); }
  std::string NameOf(const PhoneId& phone) { return list_.GetPhoneName(phone); }
  // The host answered the phone's passcode question: the phone is Idle again, to be connected anew.
  void ResetToIdle(const PhoneId& phone) { list_.ResetStateToIdle(phone); }
  // A phone named itself on a session.
  void OnAnnouncement(const PhoneId& sessionPhone, const PhoneId& announced, uint16_t kind, const std::string& name);
  // A camera let its phone go: the phone is free again, with none of a state report's effects
  // but one: a camera that has none may take it now, rather than at the next news of some phone.
  void Free(const PhoneId& phone);

  // The discovery paths' reports.
  void OnPhoneFound(const PhoneSighting& sighting) override;
  void OnPhoneLost(const PhoneSighting& sighting) override;

 private:
  // Requires the list lock.
  const PhoneRecord* ChooseLocked(int index);
  // The discovery of the current attachment (any, when attachment is zero); null when there is none.
  std::shared_ptr<NetworkDiscovery> Discovery(Attachment attachment = 0) const;
  std::shared_ptr<AdbWatcher> Watcher(Attachment attachment) const;
  // A session through a bridge forward failed: the bridge watcher's next pass comes now.
  void RequestBridgePass();
  std::shared_ptr<UsbmuxDeviceMonitor> Monitor(Attachment attachment) const;

  CameraRoster& roster_;
  PhoneList& list_;
  platform::Mutex lifecycleMutex_;  // Attach, Start/StopDiscovery, Release, CheckAddresses
  platform::Mutex chooseMutex_;
  mutable platform::Mutex
      stateMutex_;  // attachment_, discovery_, addressWatch_, adbWatcher_, usbmuxMonitor_ (the pointers)
  Attachment attachment_ = 0;
  // Shared: a host thread restarting DNS-SD keeps it alive while instance 0 goes.
  std::shared_ptr<NetworkDiscovery> discovery_;
  std::shared_ptr<platform::AddressChangeWatch> addressWatch_;
  std::shared_ptr<AdbWatcher> adbWatcher_;
  std::shared_ptr<UsbmuxDeviceMonitor> usbmuxMonitor_;
  std::atomic<int> addressChanges_{0};
  platform::Mutex socketsMutex_;  // sockets_
  std::weak_ptr<platform::SocketLibrary> sockets_;
};

}  // namespace kavex
