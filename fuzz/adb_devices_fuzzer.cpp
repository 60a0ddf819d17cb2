// The debug bridge's "devices" listings, as the watcher reads them: several listings in a row (the
// input split at form feeds), each added to the device table, the ports assigned and the bridge's
// forward arguments built; the not-installed check on each.
//
// Besides the sanitizers' checks: the table never passes its bound, holds each serial once, only
// serials that are safe on a command line, and gives every entry ports no other entry has; each
// entry gets exactly its two forwards, naming its serial.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "discovery/adb_devices.h"

namespace kavex {
namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckTable(const AdbDeviceTable& table, const std::vector<std::string>& forwards) {
  const auto& entries = table.entries();
  Check(entries.size() <= AdbDeviceTable::kMaxDevices);
  Check(forwards.size() == 2 * entries.size());
  std::set<std::string> serials;
  std::set<uint16_t> ports;
  for (size_t i = 0; i < entries.size(); ++i) {
    const AdbDeviceEntry& entry = entries[i];
    Check(serials.insert(entry.serial).second);
    Check(!entry.serial.empty());
    for (char c : entry.serial) {
      const unsigned char u = static_cast<unsigned char>(c);
      Check(u > 0x20 && u != 0x7f && std::string("\"'\\^&|<>%").find(c) == std::string::npos);
    }
    Check(ports.insert(entry.announcementPort).second && ports.insert(entry.sessionPort).second);
    const std::string prefix = "-s " + entry.serial + " forward tcp:";
    Check(forwards[2 * i].compare(0, prefix.size(), prefix) == 0);
    Check(forwards[2 * i + 1].compare(0, prefix.size(), prefix) == 0);
  }
}

}  // namespace
}  // namespace kavex

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kavex;
  const std::string input(reinterpret_cast<const char*>(data), size);
  AdbDeviceTable table;
  size_t start = 0;
  while (start <= input.size()) {
    size_t end = input.find('\f', start);
    if (end == std::string::npos) end = input.size();
    const std::string listing = input.substr(start, end - start);
    (void)AdbDeviceTable::BridgeMissing(listing);
    const size_t before = table.entries().size();
    const bool grew = table.AddFromListing(listing);
    Check(grew == (table.entries().size() > before));
    CheckTable(table, table.AssignPorts());
    start = end + 1;
  }
  return 0;
}
