#pragma once
// The benchmarks' machine-readable output: one JSON object per run, written as text. Only what the
// benchmarks need: numbers, booleans, strings, nested objects and arrays of objects. Members keep
// the order they were added in, so the file reads like the printed figures.
// Thread: the caller's.
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

class JsonObject {
 public:
  JsonObject& Add(const std::string& key, double value);  // a value that is not finite is null
  JsonObject& Add(const std::string& key, int value) { return Add(key, static_cast<long long>(value)); }
  JsonObject& Add(const std::string& key, long long value);
  JsonObject& Add(const std::string& key, uint64_t value) { return Add(key, static_cast<long long>(value)); }
  JsonObject& Add(const std::string& key, bool value);
  JsonObject& Add(const std::string& key, const std::string& value);
  JsonObject& Add(const std::string& key, const char* value) { return Add(key, std::string(value)); }
  JsonObject& Add(const std::string& key, const JsonObject& value);
  JsonObject& Add(const std::string& key, const std::vector<JsonObject>& values);
  JsonObject& Add(const std::string& key, const std::vector<double>& values);

  std::string Text() const;

 private:
  JsonObject& AddRaw(const std::string& key, const std::string& json);

  std::vector<std::pair<std::string, std::string>> members_;  // key, value as JSON text
};

std::string JsonString(const std::string& text);

// Writes the object and a newline to path (replacing it); false when it cannot be written.
bool WriteJsonFile(const std::string& path, const JsonObject& object);

}  // namespace bench
