#include "discovery/adb_devices.h"

#include <algorithm>

namespace kavex {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// The serial goes on the bridge's command line: anything that could split or quote it, or a
// control character, would let a device's listing add arguments of its own.
bool SafeSerial(const std::string& serial) {
  if (serial.empty()) return false;
  return std::none_of(serial.begin(), serial.end(), [](char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7f || c == '"' || c == '\'' || c == '\\' || c == '^' || c == '&' || c == '|' ||
           c == '<' || c == '>' || c == '%';
  });
}

// The first port from `first` upward that no entry holds, looked for the way the bridge's ports
// have always been chosen: one sweep over the entries per entry.
template <typename PortOf>
uint16_t NextPort(const std::vector<AdbDeviceEntry>& entries, uint16_t first, PortOf portOf) {
  uint16_t candidate = first;
  for (size_t round = 0; round < entries.size(); ++round)
    for (const AdbDeviceEntry& entry : entries)
      if (candidate == portOf(entry)) ++candidate;
  return candidate;
}

}  // namespace

bool AdbDeviceTable::AddFromListing(const std::string& listing) {
  static const std::string kUsable = "device\r";
  bool grew = false;
  size_t start = 0;
  for (size_t end = listing.find('\n'); end != std::string::npos; end = listing.find('\n', start)) {
    const std::string line = listing.substr(start, end + 1 - start);
    start = end + 1;
    if (line.size() < 7) continue;
    const size_t at = line.find(kUsable);
    if (at == std::string::npos) continue;
    std::string serial = line.substr(0, at);
    while (!serial.empty() && IsSpace(serial.back())) serial.pop_back();
    const bool known = std::any_of(entries_.begin(), entries_.end(),
                                   [&](const AdbDeviceEntry& entry) { return entry.serial == serial; });
    if (known) continue;
    if (serial.size() > 4 && serial.find(":5555") != std::string::npos) continue;  // over the network
    if (!SafeSerial(serial) || entries_.size() >= kMaxDevices) continue;
    AdbDeviceEntry entry;
    entry.serial = serial;
    entries_.push_back(std::move(entry));
    grew = true;
  }
  return grew;
}

std::vector<std::string> AdbDeviceTable::AssignPorts() {
  std::vector<std::string> forwards;
  for (AdbDeviceEntry& entry : entries_) {
    entry.announcementPort =
        NextPort(entries_, firstAnnouncementPort_, [](const AdbDeviceEntry& e) { return e.announcementPort; });
    entry.sessionPort = NextPort(entries_, firstSessionPort_, [](const AdbDeviceEntry& e) { return e.sessionPort; });
    for (std::string& forward : ForwardsOf(entry)) forwards.push_back(std::move(forward));
  }
  return forwards;
}

std::vector<std::string> AdbDeviceTable::ForwardsOf(const AdbDeviceEntry& entry) {
  const std::string device = "-s " + entry.serial + " forward tcp:";
  return {device + std::to_string(entry.announcementPort) + " tcp:" + std::to_string(kDeviceAnnouncementPort),
          device + std::to_string(entry.sessionPort) + " tcp:" + std::to_string(kDeviceSessionPort)};
}

bool AdbDeviceTable::BridgeMissing(const std::string& listing) {
  return (listing.size() >= 14 && listing.find("adb: not found") != std::string::npos) ||
         (listing.size() >= 25 && listing.find("No such file or directory") != std::string::npos);
}

}  // namespace kavex
