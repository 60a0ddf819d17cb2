#include "bench_json.h"

#include <cmath>
#include <cstdio>
#include <fstream>

namespace bench {

std::string JsonString(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

JsonObject& JsonObject::AddRaw(const std::string& key, const std::string& json) {
  members_.emplace_back(key, json);
  return *this;
}

JsonObject& JsonObject::Add(const std::string& key, double value) {
  if (!std::isfinite(value)) return AddRaw(key, "null");
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return AddRaw(key, text);
}

JsonObject& JsonObject::Add(const std::string& key, long long value) { return AddRaw(key, std::to_string(value)); }

JsonObject& JsonObject::Add(const std::string& key, bool value) { return AddRaw(key, value ? "true" : "false"); }

JsonObject& JsonObject::Add(const std::string& key, const std::string& value) { return AddRaw(key, JsonString(value)); }

JsonObject& JsonObject::Add(const std::string& key, const JsonObject& value) { return AddRaw(key, value.Text()); }

JsonObject& JsonObject::Add(const std::string& key, const std::vector<JsonObject>& values) {
  std::string json = "[";
  for (size_t i = 0; i < values.size(); ++i) json += (i == 0 ? "" : ", ") + values[i].Text();
  return AddRaw(key, json + "]");
}

JsonObject& JsonObject::Add(const std::string& key, const std::vector<double>& values) {
  std::string json = "[";
  char number[32];
  for (size_t i = 0; i < values.size(); ++i) {
    std::snprintf(number, sizeof number, "%s%.6g", i == 0 ? "" : ",", values[i]);
    json += std::isfinite(values[i]) ? number : (i == 0 ? "null" : ",null");
  }
  return AddRaw(key, json + "]");
}

std::string JsonObject::Text() const {
  std::string json = "{";
  for (size_t i = 0; i < members_.size(); ++i)
    json += (i == 0 ? "" : ", ") + JsonString(members_[i].first) + ": " + members_[i].second;
  return json + "}";
}

bool WriteJsonFile(const std::string& path, const JsonObject& object) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << object.Text() << "\n";
  file.close();
  return static_cast<bool>(file);
}

}  // namespace bench
