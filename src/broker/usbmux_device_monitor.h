#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "broker/usbmux_device_table.h"
#include "discovery/phone_sighting.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/system_thread.h"

namespace kavex {

// Finds iPhones through the USB multiplexing service: subscribes to the service's device events
// (into UsbmuxDeviceTable), opens a short stream to each new device's announcement port (4697,
// else the session port 4699) and reads the phone's 280-byte block, and reports phones found and
// devices removed. One per process, made with engine instance 0 and gone with it, subscription
// included: a monitor is made only once its predecessor is gone.
//
// Thread: its own thread from construction to destruction probes and reports; SetListener and the
// destructor run on instance 0's host or teardown thread. The thread's calls of the service give
// up within 100 ms of the destructor's stop flag and never wait longer than kProbeWaitLimitMs at a
// time, so a stalled service holds up neither the teardown nor the other devices' reports for long.
// Locks: listenerMutex_ is held while the listener is called (so once SetListener(nullptr) returns
// no report is under way), then the listener's own; the table's mutex is a leaf, never held across
// a probe or a report.
class UsbmuxDeviceMonitor {
 public:
  struct Options {
    double probeIntervalSeconds = 2.0;
    Clock* clock = &EngineClock::AsClock();
    UsbmuxDeviceTable* table = &UsbmuxDeviceTable::Instance();
  };
  static constexpr uint16_t kAnnouncementPort = 4697;
  static constexpr uint16_t kSessionPort = 4699;
  static constexpr unsigned kProbeReadMs = 200;
  // The longest one wait of a probe's connect may last (reaching the service, its answer): as long
  // as a session's.
  static constexpr int kProbeWaitLimitMs = 4000;

  explicit UsbmuxDeviceMonitor(PhoneSightingListener* listener) : UsbmuxDeviceMonitor(listener, Options{}) {}
  UsbmuxDeviceMonitor(PhoneSightingListener* listener, const Options& options);
  // Stops the thread and waits for it (a probe under way gives up within 100 ms), then ends the
  // subscription, joining the library's event thread.
  ~UsbmuxDeviceMonitor();
  UsbmuxDeviceMonitor(const UsbmuxDeviceMonitor&) = delete;
  UsbmuxDeviceMonitor& operator=(const UsbmuxDeviceMonitor&) = delete;

  // A listener is told at once of every phone already announced, then of every change; with none,
  // nothing is reported from the moment this returns.
  void SetListener(PhoneSightingListener* listener);
  // False once the thread has ended (the subscription was refused).
  bool running() const { return running_.load(); }

 private:
  void Run();
  void Probe(const UsbmuxDeviceTable::Probe& device);
  void Nap();

  const Options options_;
  std::atomic<bool> running_{true};  // cleared as the thread ends
  // Set by the destructor (under napMutex_, to wake the nap); the service's calls on the thread
  // look at it too.
  std::atomic<bool> stop_{false};
  bool subscribed_ = false;  // written by the thread, read by the destructor after the join

  platform::Mutex listenerMutex_;
  PhoneSightingListener* listener_ = nullptr;

  platform::Mutex napMutex_;
  platform::ConditionVariable napWake_;
  platform::SystemThread thread_;
};

}  // namespace kavex
