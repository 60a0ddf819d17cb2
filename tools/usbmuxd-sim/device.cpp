#include "device.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace muxsim {

namespace {

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value) {
  if (text.empty() || text[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || errno != 0 || parsed > max) return false;
  *value = parsed;
  return true;
}

bool IsNumericAddress(const std::string& text) {
  unsigned char buffer[16];
  return ::inet_pton(AF_INET, text.c_str(), buffer) == 1 || ::inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

// The address as the service carries it: a BSD socket address (length byte, family byte, port,
// address), which is what clients pick the family and the address out of.
std::string SocketAddressBytes(const std::string& address) {
  unsigned char v4[4];
  if (::inet_pton(AF_INET, address.c_str(), v4) == 1) {
    std::string out(16, '\0');
    out[0] = 16;
    out[1] = 2;  // AF_INET
    std::memcpy(&out[4], v4, 4);
    return out;
  }
  unsigned char v6[16];
  if (::inet_pton(AF_INET6, address.c_str(), v6) == 1) {
    std::string out(28, '\0');
    out[0] = 28;
    out[1] = 30;  // AF_INET6 of the BSD family numbering
    std::memcpy(&out[8], v6, 16);
    return out;
  }
  return std::string();
}

}  // namespace

Plist Device::Properties() const {
  Plist props(plist_new_dict());
  plist_t p = props.get();
  plist_dict_set_item(p, "ConnectionType", plist_new_string(network ? "Network" : "USB"));
  plist_dict_set_item(p, "DeviceID", plist_new_uint(id));
  plist_dict_set_item(p, "SerialNumber", plist_new_string(serial.c_str()));
  if (network) {
    const std::string bytes = SocketAddressBytes(address);
    plist_dict_set_item(p, "NetworkAddress", plist_new_data(bytes.data(), bytes.size()));
  } else {
    plist_dict_set_item(p, "ConnectionSpeed", plist_new_uint(speed));
    plist_dict_set_item(p, "LocationID", plist_new_uint(locationId));
    plist_dict_set_item(p, "ProductID", plist_new_uint(productId));
  }
  return props;
}

Plist Device::AttachedRecord() const {
  Plist record(plist_new_dict());
  plist_dict_set_item(record.get(), "MessageType", plist_new_string("Attached"));
  plist_dict_set_item(record.get(), "DeviceID", plist_new_uint(id));
  plist_dict_set_item(record.get(), "Properties", Properties().release());
  return record;
}

std::string Device::Describe() const {
  std::ostringstream out;
  out << id << ' ' << serial << ' ' << (network ? "network" : "usb") << " product=0x" << std::hex << productId
      << std::dec << " location=" << locationId;
  if (!address.empty()) out << " address=" << address;
  out << " host=" << host;
  for (const auto& port : ports) out << ' ' << port.first << '=' << port.second;
  return out.str();
}

bool ParseDevice(const std::vector<std::string>& words, Device* device, std::string* error) {
  if (words.size() < 2) {
    *error = "a device needs an ID and a serial";
    return false;
  }
  Device parsed;
  uint64_t number = 0;
  if (!ParseNumber(words[0], 0xffffffffu, &number) || number == 0) {
    *error = "bad device ID: " + words[0];
    return false;
  }
  parsed.id = static_cast<uint32_t>(number);
  // Clients copy the UDID into a fixed field of 44 bytes.
  if (words[1].size() > 40) {
    *error = "serial longer than 40 characters";
    return false;
  }
  parsed.serial = words[1];
  parsed.locationId = parsed.id;
  for (size_t i = 2; i < words.size(); ++i) {
    const std::string& word = words[i];
    const size_t equals = word.find('=');
    const std::string key = word.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
    if (word == "usb" || word == "network") {
      parsed.network = word == "network";
    } else if (equals == std::string::npos) {
      *error = "unknown word: " + word;
      return false;
    } else if (key == "product" && ParseNumber(value, 0xffff, &number)) {
      parsed.productId = static_cast<uint32_t>(number);
    } else if (key == "location" && ParseNumber(value, 0xffffffffu, &number)) {
      parsed.locationId = static_cast<uint32_t>(number);
    } else if (key == "speed" && ParseNumber(value, UINT64_MAX, &number)) {
      parsed.speed = number;
    } else if (key == "address" && IsNumericAddress(value)) {
      parsed.address = value;
    } else if (key == "host" && IsNumericAddress(value)) {
      parsed.host = value;
    } else if (!key.empty() && key.find_first_not_of("0123456789") == std::string::npos) {
      uint64_t port = 0;
      uint64_t hostPort = 0;
      if (!ParseNumber(key, 65535, &port) || port == 0 || !ParseNumber(value, 65535, &hostPort) || hostPort == 0) {
        *error = "bad port mapping: " + word;
        return false;
      }
      parsed.ports[static_cast<uint16_t>(port)] = static_cast<uint16_t>(hostPort);
    } else {
      *error = "bad setting: " + word;
      return false;
    }
  }
  if (parsed.network && parsed.address.empty()) parsed.address = parsed.host;
  *device = parsed;
  return true;
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

bool ParseDeviceScript(const std::string& text, std::vector<Device>* devices, std::string* error) {
  std::istringstream in(text);
  std::string line;
  std::vector<Device> parsed;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::vector<std::string> words = SplitWords(line);
    if (words.empty() || words[0][0] == '#') continue;
    std::string reason;
    Device device;
    if (words[0] != "device") {
      reason = "unknown line";
    } else if (ParseDevice(std::vector<std::string>(words.begin() + 1, words.end()), &device, &reason)) {
      for (const auto& other : parsed) {
        if (other.id == device.id) reason = "device ID " + std::to_string(device.id) + " twice";
      }
    }
    if (!reason.empty()) {
      *error = "line " + std::to_string(number) + ": " + reason;
      return false;
    }
    device.fromScript = true;
    parsed.push_back(device);
  }
  *devices = std::move(parsed);
  return true;
}

}  // namespace muxsim
