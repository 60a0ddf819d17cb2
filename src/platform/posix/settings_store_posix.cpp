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

#include "platform/environment.h"

namespace kavex::platform {

namespace {

// Each key is a folder below the settings root and each value a file "<name>.value" whose first line
// is the value's type ("sz" for strings) and whose remainder is the data. The root is
// $KAVEX_SETTINGS_DIR, else $XDG_CONFIG_HOME/kavex-engine, else ~/.config/kavex-engine.
// The environment is only read, through the platform's one reader.
std::string SettingsRoot() {
  if (std::string dir = EnvironmentValue("KAVEX_SETTINGS_DIR"); !dir.empty()) return dir;
  if (const std::string xdg = EnvironmentValue("XDG_CONFIG_HOME"); !xdg.empty()) return xdg + "/kavex-engine";
  const std::string home = EnvironmentValue("HOME");
  return (home.empty() ? std::string("/tmp") : home) + "/.config/kavex-engine";
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
    if (const size_t end = text.find('\0'); end != std::string::npos) text.resize(end);
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
      (void)std::remove(temp.c_str());  // a leftover temporary is overwritten next time
      return false;
    }
    return true;
  }

  // A value that is not there is as good as deleted.
  void DeleteValue(const char* name) override { (void)std::remove(ValuePath(name).c_str()); }

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
