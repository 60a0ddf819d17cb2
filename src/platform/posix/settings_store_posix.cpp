#include "platform/settings_store.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kavex::platform {

namespace {

// Each key is a folder below the settings root and each value a file "<name>.value" whose first line
// is the value's type ("sz" for strings) and whose remainder is the data. The root is
// $KAVEX_SETTINGS_DIR, else $XDG_CONFIG_HOME/kavex-engine, else ~/.config/kavex-engine.
std::string SettingsRoot() {
  if (const char* dir = std::getenv("KAVEX_SETTINGS_DIR"); dir != nullptr && *dir != '\0') return dir;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0')
    return std::string(xdg) + "/kavex-engine";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "/tmp") + "/.config/kavex-engine";
}

bool MakeDirs(const std::string& path) {
  std::string partial;
  std::stringstream parts(path);
  std::string part;
  if (!path.empty() && path[0] == '/') partial = "/";
  while (std::getline(parts, part, '/')) {
    if (part.empty()) continue;
    partial += part + "/";
    if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Owns the folder path of one key.
class FileKey final : public SettingsKey {
 public:
  explicit FileKey(std::string folder) : folder_(std::move(folder)) {}

  ReadStatus ReadString(const char* name, size_t capacity, std::string* out) override {
    std::ifstream in(ValuePath(name), std::ios::binary);
    if (!in) return errno == ENOENT ? ReadStatus::kNotFound : ReadStatus::kFailed;
    std::string type;
    if (!std::getline(in, type)) return ReadStatus::kFailed;
    if (type != "sz") return ReadStatus::kWrongType;
    std::ostringstream data;
    data << in.rdbuf();
    std::string text = data.str();
    // A string value ends at its first NUL, as a registry string read does.
    text = text.substr(0, text.find('\0'));
    if (capacity == 0 || text.size() + 1 > capacity) return ReadStatus::kTooLong;
    *out = text;
    return ReadStatus::kOk;
  }

  bool WriteString(const char* name, const std::string& text) override {
    // Write to a temporary file and rename it, so a reader sees the old value or the new one. The
    // temporary name is unique per write: two threads recording at once must not write into one
    // file and rename a mix of both values into place.
    static std::atomic<uint64_t> writes{0};
    const std::string path = ValuePath(name);
    const std::string temp = path + ".tmp" + std::to_string(getpid()) + "." + std::to_string(++writes);
    {
      std::ofstream out(temp, std::ios::binary | std::ios::trunc);
      if (!out) return false;
      out << "sz\n" << text;
      if (!out.flush()) return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
      std::remove(temp.c_str());
      return false;
    }
    return true;
  }

  void DeleteValue(const char* name) override { std::remove(ValuePath(name).c_str()); }

 private:
  std::string ValuePath(const char* name) const { return folder_ + "/" + name + ".value"; }

  std::string folder_;
};

}  // namespace

std::unique_ptr<SettingsKey> OpenUserSettingsKey(const char* path, bool create) {
  std::string folder = SettingsRoot();
  std::stringstream parts(path != nullptr ? path : "");
  std::string part;
  while (std::getline(parts, part, '\\')) {
    if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos) return nullptr;
    folder += "/" + part;
  }
  if (create ? !MakeDirs(folder) : !IsDirectory(folder)) return nullptr;
  return std::make_unique<FileKey>(folder);
}

}  // namespace kavex::platform
