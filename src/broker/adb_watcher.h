#pragma once
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "discovery/adb_bridge.h"
#include "discovery/adb_devices.h"
#include "discovery/phone_sighting.h"
#include "platform/sync.h"
#include "platform/system_thread.h"
#include "protocol/phone_announcement.h"

namespace kavex {

// Finds Android phones on a cable through the debug bridge: lists the bridge's devices, has it
// forward two local ports to each (the phone's announcement port and its session port), reads the
// phone's announcement through the first and reports the phone with the second as its USB address.
// One pass every 30 s, sooner when the system reports a USB device arriving or leaving or the
// machine resuming, or when a session through a forward fails. One per process, made with engine
// instance 0 and gone with it.
//
// Thread: its own thread from construction to destruction owns the device table, the notification
// window's thread (UsbNotificationThread, which alone pumps the window) and the probes, which it
// makes itself. SetListener and the destructor run on instance 0's host or teardown thread.
// Locks: listenerMutex_ is held while the listener is called (so that once SetListener(nullptr)
// returns no report is under way), then the listener's own; tableMutex_ is a leaf.
class AdbWatcher final {
 public:
  struct Options {
    AdbRunner runner = RunAdb;
    // The wait between passes, in 100 ms steps (30 s).
    int passWaitSteps = 300;
    uint16_t firstAnnouncementPort = AdbDeviceTable::kFirstAnnouncementPort;
    uint16_t firstSessionPort = AdbDeviceTable::kFirstSessionPort;
  };

  explicit AdbWatcher(PhoneSightingListener* listener) : AdbWatcher(listener, Options{}) {}
  AdbWatcher(PhoneSightingListener* listener, Options options);
  // Stops the thread and waits for it (at most the bridge command under way with its exit wait and
  // end, the notification window's thread, and the closing "kill-server").
  ~AdbWatcher();
  AdbWatcher(const AdbWatcher&) = delete;
  AdbWatcher& operator=(const AdbWatcher&) = delete;

  // A listener is told at once of every phone already identified, then of every change; with none,
  // nothing is reported from the moment this returns.
  void SetListener(PhoneSightingListener* listener);
  // A session through a phone's forward was refused: the bridge's server may have died (another
  // program killed it) and taken the forwards with it. Brings the next pass forward, so the phone
  // need not wait out the half-minute; a pass brought forward is never followed by another one
  // brought forward, so a phone that keeps refusing costs at most one extra pass per interval.
  // Any thread; never blocks beyond a leaf lock.
  void RequestPass();
  // False once the thread has ended (the bridge is missing, or the window could not be made).
  bool running() const { return running_.load(); }

 private:
  using Block = AnnouncementBlock;

  void Run();
  void Watch();
  void Scan();
  // Probes the entry at `index`: true when it answered with an announcement that names a phone.
  bool Probe(size_t index);
  // A phone that answered before and stops answering may only have lost its forwards (the bridge's
  // server was restarted, and a new server knows the same device but none of its forwards): makes
  // them again, so that a second probe in the same pass can keep the phone. False for an entry that
  // never answered.
  bool Reforward(size_t index);
  void ReportFound(const PhoneAnnouncement& announcement, uint16_t sessionPort);
  void ReportLost(const Block& announcement);
  // Sleeps one 100 ms step, or less when the watcher is stopped (or, with wakeOnRequest, when a
  // pass is requested) meanwhile.
  void Nap(bool wakeOnRequest = false);
  // Waits out the time between passes; true when the wait ended on a requested pass.
  bool WaitForNextPass(bool lastPassRequested);

  const Options options_;
  std::atomic<bool> running_{true};

  platform::Mutex listenerMutex_;
  PhoneSightingListener* listener_ = nullptr;

  platform::Mutex tableMutex_;  // written by the watcher thread, read by SetListener
  AdbDeviceTable table_;

  platform::Mutex napMutex_;
  platform::ConditionVariable napWake_;
  std::atomic<bool> passRequested_{false};

  platform::SystemThread thread_;
};

}  // namespace kavex
