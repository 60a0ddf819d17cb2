#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kavex {

// One device the debug bridge reported, by serial, with the two local ports forwarded to it and
// what its probe last read.
struct AdbDeviceEntry {
  static constexpr size_t kAnnouncementSize = 280;

  std::string serial;
  uint16_t announcementPort = 0;                          // local port forwarded to the device's 4697
  uint16_t sessionPort = 0;                               // local port forwarded to the device's 4699
  std::array<uint8_t, kAnnouncementSize> announcement{};  // all zero until a probe succeeds
  bool probing = false;
};

// The bridge's devices in the order their serials were first seen, with the local ports forwarded
// to each. The table grows from the bridge's listings and assigns every entry its ports anew when it
// grows (existing entries move: the bridge keeps their older forwards too).
// Thread: the watcher's thread; a reader on another thread takes the watcher's lock.
class AdbDeviceTable {
 public:
  static constexpr uint16_t kFirstAnnouncementPort = 4600;
  static constexpr uint16_t kFirstSessionPort = 4699;
  static constexpr uint16_t kDeviceAnnouncementPort = 4697;
  static constexpr uint16_t kDeviceSessionPort = 4699;
  // The bridge's output is read like any outside input: at most this many devices are kept.
  static constexpr size_t kMaxDevices = 16;

  // Tests may give the local ports another start, away from a real bridge's.
  explicit AdbDeviceTable(uint16_t firstAnnouncementPort = kFirstAnnouncementPort,
                          uint16_t firstSessionPort = kFirstSessionPort)
      : firstAnnouncementPort_(firstAnnouncementPort), firstSessionPort_(firstSessionPort) {}

  // Adds the usable devices of one "devices" listing: lines ending in "device\r\n", the serial being
  // the text before "device\r" with its trailing white space removed; network devices (":5555"),
  // serials already known, and serials that could not be passed safely on a command line are
  // skipped. True when the table grew.
  bool AddFromListing(const std::string& listing);
  // Gives every entry, in order, its announcement and session ports, and returns the bridge
  // arguments of the forwards to make, two per entry.
  std::vector<std::string> AssignPorts();
  // The bridge arguments of the two forwards that `entry`'s ports already stand for, to make them
  // again after the bridge's server lost them.
  static std::vector<std::string> ForwardsOf(const AdbDeviceEntry& entry);

  std::vector<AdbDeviceEntry>& entries() { return entries_; }
  const std::vector<AdbDeviceEntry>& entries() const { return entries_; }
  void Clear() { entries_.clear(); }

  // The first listing's sign that the bridge is not installed.
  static bool BridgeMissing(const std::string& listing);

 private:
  uint16_t firstAnnouncementPort_;
  uint16_t firstSessionPort_;
  std::vector<AdbDeviceEntry> entries_;
};

}  // namespace kavex
