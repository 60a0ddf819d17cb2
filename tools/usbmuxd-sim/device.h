#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "wire.h"

// A simulated phone as the service reports it, and where its ports are really served.
namespace muxsim {

struct Device {
  uint32_t id = 0;
  std::string serial;  // the UDID
  uint32_t productId = 0x12a8;
  bool network = false;
  uint32_t locationId = 0;
  uint64_t speed = 480000000;
  std::string address;                 // a network device's own address (NetworkAddress), numeric IPv4 or IPv6
  std::string host = "127.0.0.1";      // where its ports are served
  std::map<uint16_t, uint16_t> ports;  // device port -> port at host; unmapped ports refuse
  bool fromScript = false;

  // The "Properties" dictionary of Attached events and device lists.
  Plist Properties() const;
  // {MessageType Attached, DeviceID, Properties}
  Plist AttachedRecord() const;
  // One line for the control channel's list.
  std::string Describe() const;
};

// Words after "device"/"attach": ID SERIAL then, in any order, usb|network, product=N,
// location=N, speed=N, address=IP, host=IP and PORT=HOSTPORT. Numbers may be given in hex (0x).
bool ParseDevice(const std::vector<std::string>& words, Device* device, std::string* error);

// A device script: "device ..." lines; blank lines and "#" comments ignored. False with the line
// and the reason in error.
bool ParseDeviceScript(const std::string& text, std::vector<Device>* devices, std::string* error);

std::vector<std::string> SplitWords(const std::string& line);

}  // namespace muxsim
