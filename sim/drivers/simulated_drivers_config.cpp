#include "simulated_drivers_config.h"

#include <cstdlib>
#include <limits>

namespace kavex::simdrivers {

DeviceConfig& SimulatedDriversConfig::Device(DeviceId id) {
  return id.role == DeviceRole::kCamera ? cameras[id.index].device : microphones[id.index].device;
}

const DeviceConfig& SimulatedDriversConfig::Device(DeviceId id) const {
  return id.role == DeviceRole::kCamera ? cameras[id.index].device : microphones[id.index].device;
}

std::wstring SimulatedDriversConfig::PathOf(DeviceId id) const {
  const std::wstring& path = Device(id).path;
  return path.empty() ? DefaultPath(id) : path;
}

namespace {

const char kPrefix[] = "KAVEX_SIMDRIVERS_";

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return {};
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t end = text.find(separator, start);
    std::string part = Trim(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (!part.empty()) parts.push_back(part);
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// Decimal, or hexadecimal after 0x; the whole text must be the number.
std::optional<int64_t> ParseInteger(const std::string& text, int64_t min, int64_t max) {
  std::string digits = Trim(text);
  bool negative = !digits.empty() && digits[0] == '-';
  if (negative) digits.erase(0, 1);
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.erase(0, 2);
  }
  if (digits.empty() || digits.size() > 16) return std::nullopt;
  uint64_t value = 0;
  for (char c : digits) {
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return std::nullopt;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
  int64_t signedValue = negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
  if (signedValue < min || signedValue > max) return std::nullopt;
  return signedValue;
}

std::optional<DeviceId> ParseDevice(const std::string& token) {
  if (token.size() != 4 || token[3] < '0' || token[3] > '3') return std::nullopt;
  int index = token[3] - '0';
  std::string kind = token.substr(0, 3);
  if (kind == "cam") return CameraDevice(index);
  if (kind == "mic") return MicrophoneDevice(index);
  return std::nullopt;
}

std::wstring Widen(const std::string& text) {
  std::wstring wide;
  for (char c : text) wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return wide;
}

// Reads the variables one by one; every parse failure becomes one line in problems.
class Reader {
 public:
  Reader(const VariableLookup& lookup, std::vector<std::string>* problems)
      : lookup_(lookup), problems_(problems) {}

  std::optional<std::string> Get(const char* name) {
    std::optional<std::string> value = lookup_(std::string(kPrefix) + name);
    if (value && Trim(*value).empty()) return std::nullopt;
    return value;
  }

  void Bad(const char* name, const std::string& value, const char* expected) {
    if (problems_) {
      problems_->push_back(std::string(kPrefix) + name + ": '" + value + "' is not " + expected +
                           "; the default stays");
    }
  }

  template <typename T>
  void Integer(const char* name, int64_t min, int64_t max, const std::function<void(T)>& apply) {
    std::optional<std::string> value = Get(name);
    if (!value) return;
    std::optional<int64_t> parsed = ParseInteger(*value, min, max);
    if (!parsed) return Bad(name, *value, "a number in range");
    apply(static_cast<T>(*parsed));
  }

  // "ok" or "fail".
  void Failure(const char* name, const std::function<void(bool)>& apply) {
    std::optional<std::string> value = Get(name);
    if (!value) return;
    std::string word = Trim(*value);
    if (word == "ok") apply(false);
    else if (word == "fail") apply(true);
    else Bad(name, *value, "ok or fail");
  }

  // A number, or "fail" for a failing request.
  void NumberOrFailure(const char* name, const std::function<void(std::optional<uint32_t>)>& apply) {
    std::optional<std::string> value = Get(name);
    if (!value) return;
    if (Trim(*value) == "fail") return apply(std::nullopt);
    std::optional<int64_t> parsed = ParseInteger(*value, 0, std::numeric_limits<uint32_t>::max());
    if (!parsed) return Bad(name, *value, "a number or fail");
    apply(static_cast<uint32_t>(*parsed));
  }

  // Comma-separated devices (cam0..cam3, mic0..mic3), each with an optional ":number".
  bool DeviceList(const char* name, std::vector<std::pair<DeviceId, std::optional<uint32_t>>>* devices) {
    std::optional<std::string> value = Get(name);
    if (!value) return false;
    std::vector<std::pair<DeviceId, std::optional<uint32_t>>> parsed;
    for (const std::string& token : Split(*value, ',')) {
      size_t colon = token.find(':');
      std::optional<DeviceId> id = ParseDevice(Trim(token.substr(0, colon)));
      std::optional<int64_t> number;
      if (colon != std::string::npos) {
        number = ParseInteger(token.substr(colon + 1), 0, std::numeric_limits<uint32_t>::max());
      }
      if (!id || (colon != std::string::npos && !number)) {
        Bad(name, *value, "a list of cam0..cam3 and mic0..mic3");
        return false;
      }
      parsed.emplace_back(*id, number ? std::optional<uint32_t>(static_cast<uint32_t>(*number)) : std::nullopt);
    }
    *devices = std::move(parsed);
    return true;
  }

 private:
  const VariableLookup& lookup_;
  std::vector<std::string>* problems_;
};

void ForEachDevice(const std::function<void(DeviceId)>& apply) {
  for (int index = 0; index < kDeviceIndexCount; ++index) {
    apply(CameraDevice(index));
    apply(MicrophoneDevice(index));
  }
}

}  // namespace

SimulatedDriversConfig ConfigFromVariables(const VariableLookup& lookup, std::vector<std::string>* problems) {
  SimulatedDriversConfig config;
  Reader reader(lookup, problems);
  constexpr int64_t kU32Max = std::numeric_limits<uint32_t>::max();
  constexpr int64_t kI32Min = std::numeric_limits<int32_t>::min();
  constexpr int64_t kI32Max = std::numeric_limits<int32_t>::max();

  if (std::optional<std::string> scan = reader.Get("SCAN")) {
    std::string word = Trim(*scan);
    if (word == "ok") config.scan = platform::CaptureScanResult::kScanned;
    else if (word == "enumerator") config.scan = platform::CaptureScanResult::kEnumeratorFailed;
    else if (word == "category") config.scan = platform::CaptureScanResult::kCategoryFailed;
    else reader.Bad("SCAN", *scan, "ok, enumerator or category");
  }

  std::optional<std::string> devices = reader.Get("DEVICES");
  if (devices && (Trim(*devices) == "none" || Trim(*devices) == "all")) {
    bool present = Trim(*devices) == "all";
    ForEachDevice([&](DeviceId id) { config.Device(id).present = present; });
  } else {
    std::vector<std::pair<DeviceId, std::optional<uint32_t>>> list;
    if (reader.DeviceList("DEVICES", &list)) {
      ForEachDevice([&](DeviceId id) { config.Device(id).present = false; });
      for (const auto& entry : list) config.Device(entry.first).present = true;
    }
  }

  std::vector<std::pair<DeviceId, std::optional<uint32_t>>> list;
  if (reader.DeviceList("LONG_PATHS", &list)) {
    for (const auto& entry : list) config.Device(entry.first).path = OverlongPath(entry.first);
  }
  list.clear();
  if (reader.DeviceList("OPEN_FAIL", &list)) {
    for (const auto& entry : list) {
      config.Device(entry.first).openFails = true;
      if (entry.second) config.Device(entry.first).openError = *entry.second;
    }
  }
  if (std::optional<std::string> foreign = reader.Get("FOREIGN")) {
    int number = 0;
    for (const std::string& name : Split(*foreign, '|')) {
      config.foreignDevices.push_back(
          {Widen(name), L"\\\\?\\sim#foreign-" + std::to_wstring(number++)});
    }
  }

  auto forMicrophones = [&](const std::function<void(MicrophoneConfig&)>& apply) {
    for (MicrophoneConfig& microphone : config.microphones) apply(microphone);
  };
  auto forCameras = [&](const std::function<void(CameraConfig&)>& apply) {
    for (CameraConfig& camera : config.cameras) apply(camera);
  };

  reader.NumberOrFailure("MIC_STATUS", [&](std::optional<uint32_t> status) {
    forMicrophones([&](MicrophoneConfig& m) {
      m.queryFails = !status;
      if (status) m.status = *status;
    });
  });
  reader.Failure("MIC_WRITE", [&](bool fails) { forMicrophones([&](MicrophoneConfig& m) { m.writeFails = fails; }); });
  reader.Integer<uint32_t>("MIC_BACKLOG", 0, kU32Max, [&](uint32_t bytes) {
    forMicrophones([&](MicrophoneConfig& m) { m.initialBacklogBytes = bytes; });
  });

  reader.NumberOrFailure("CAMERA_VERSION", [&](std::optional<uint32_t> version) {
    forCameras([&](CameraConfig& c) {
      c.queryFails = !version;
      if (version) c.info.version = *version;
    });
  });
  reader.Integer<uint32_t>("CAMERA_WIDTH", 0, kU32Max,
                           [&](uint32_t v) { forCameras([&](CameraConfig& c) { c.info.width = v; }); });
  reader.Integer<int32_t>("CAMERA_HEIGHT", kI32Min, kI32Max,
                          [&](int32_t v) { forCameras([&](CameraConfig& c) { c.info.height = v; }); });
  reader.Integer<uint32_t>("CAMERA_YUY2", 0, kU32Max,
                           [&](uint32_t v) { forCameras([&](CameraConfig& c) { c.info.yuy2 = v; }); });
  reader.Integer<uint32_t>("CAMERA_FRAME_DURATION", 0, kU32Max,
                           [&](uint32_t v) { forCameras([&](CameraConfig& c) { c.info.frameDuration = v; }); });
  reader.Integer<uint32_t>("CAMERA_CONSUMER_ACTIVE", 0, kU32Max,
                           [&](uint32_t v) { forCameras([&](CameraConfig& c) { c.info.consumerActive = v; }); });
  reader.Failure("CAMERA_WRITE", [&](bool fails) { forCameras([&](CameraConfig& c) { c.writeFails = fails; }); });

  if (std::optional<std::string> reply = reader.Get("REPLY")) {
    std::string word = Trim(*reply);
    std::vector<std::string> fields = Split(word, ',');
    if (word == "info") {
      forCameras([&](CameraConfig& c) { c.reply.reset(); });
    } else if (word == "invalid") {
      forCameras([&](CameraConfig& c) { c.reply = FrameWriteReply{}; });
    } else {
      std::vector<int64_t> numbers;
      for (size_t i = 0; i < fields.size(); ++i) {
        // The height is signed; the other fields are u32.
        std::optional<int64_t> n = i == 1 ? ParseInteger(fields[i], kI32Min, kI32Max) : ParseInteger(fields[i], 0, kU32Max);
        if (!n) break;
        numbers.push_back(*n);
      }
      if (fields.size() != 6 || numbers.size() != 6) {
        reader.Bad("REPLY", *reply, "info, invalid or six numbers");
      } else {
        FrameWriteReply explicitReply;
        explicitReply.width = static_cast<uint32_t>(numbers[0]);
        explicitReply.height = static_cast<int32_t>(numbers[1]);
        explicitReply.valid = 1;
        explicitReply.yuy2 = static_cast<uint32_t>(numbers[2]);
        explicitReply.frameDuration = static_cast<uint32_t>(numbers[3]);
        explicitReply.controlValue = static_cast<uint32_t>(numbers[4]);
        explicitReply.controlFlag = static_cast<uint32_t>(numbers[5]);
        forCameras([&](CameraConfig& c) { c.reply = explicitReply; });
      }
    }
  }
  reader.Integer<uint32_t>("REPLY_BYTES", 0, kFrameWriteReplyBytes,
                           [&](uint32_t v) { forCameras([&](CameraConfig& c) { c.replyBytes = v; }); });
  return config;
}

SimulatedDriversConfig ConfigFromEnvironment(std::vector<std::string>* problems) {
  return ConfigFromVariables(
      [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        if (value == nullptr) return std::nullopt;
        return std::string(value);
      },
      problems);
}

}  // namespace kavex::simdrivers
