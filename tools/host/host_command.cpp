#include "host_command.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "callback_text.h"

namespace kavexhost {
namespace {

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  for (char c : line) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

bool ReadInt(const std::string& word, long low, long high, int32_t* value) {
  if (word.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(word.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
  *value = static_cast<int32_t>(parsed);
  return true;
}

bool ReadFloat(const std::string& word, float* value) {
  if (word.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const float parsed = std::strtof(word.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(parsed)) return false;
  *value = parsed;
  return true;
}

// Collects the first error so that a command reports one clear reason.
class Reader {
 public:
  explicit Reader(const std::vector<std::string>& words) : words_(words) {}

  bool Arity(size_t arguments, const char* usage) {
    if (words_.size() == arguments + 1) return true;
    Fail(std::string("usage: ") + usage);
    return false;
  }
  void Camera(size_t at, int* camera) {
    int32_t value = 0;
    if (!ReadInt(words_[at], 0, 3, &value)) Fail("camera must be 0 to 3, not \"" + words_[at] + "\"");
    *camera = value;
  }
  void Int(size_t at, long low, long high, const char* what, int32_t* value) {
    if (!ReadInt(words_[at], low, high, value)) {
      Fail(std::string(what) + " must be an integer from " + std::to_string(low) + " to " + std::to_string(high) +
           ", not \"" + words_[at] + "\"");
    }
  }
  void Float(size_t at, const char* what, float* value) {
    if (!ReadFloat(words_[at], value)) {
      Fail(std::string(what) + " must be a finite number, not \"" + words_[at] + "\"");
    }
  }
  void Fail(const std::string& why) {
    if (error_.empty()) error_ = why;
  }
  const std::string& error() const { return error_; }

 private:
  const std::vector<std::string>& words_;
  std::string error_;
};

}  // namespace

ParsedLine ParseCommandLine(const std::string& line) {
  ParsedLine result;
  const std::vector<std::string> words = SplitWords(line);
  if (words.empty() || words[0][0] == '#') return result;

  const std::string& name = words[0];
  HostCommand& command = result.command;
  Reader reader(words);
  if (name == "select") {
    command.kind = CommandKind::kSelect;
    if (reader.Arity(2, "select CAM KEY")) {
      reader.Camera(1, &command.camera);
      command.key = words[2];
    }
  } else if (name == "format") {
    command.kind = CommandKind::kFormat;
    if (reader.Arity(2, "format CAM N (0 automatic, 1-10 a size preset)")) {
      reader.Camera(1, &command.camera);
      reader.Int(2, 0, 10, "format", &command.first);
    }
  } else if (name == "blank") {
    command.kind = CommandKind::kBlank;
    if (reader.Arity(1, "blank 0|1")) reader.Int(1, 0, 1, "blank", &command.first);
  } else if (name == "button") {
    command.kind = CommandKind::kButton;
    if (reader.Arity(3, "button CAM CODE VALUE")) {
      reader.Camera(1, &command.camera);
      reader.Int(2, INT32_MIN, INT32_MAX, "code", &command.first);
      reader.Int(3, INT32_MIN, INT32_MAX, "value", &command.second);
    }
  } else if (name == "focus") {
    command.kind = CommandKind::kFocus;
    if (reader.Arity(4, "focus CAM X Y FLAG")) {
      reader.Camera(1, &command.camera);
      reader.Float(2, "x", &command.x);
      reader.Float(3, "y", &command.y);
      reader.Int(4, 0, 255, "flag", &command.first);
    }
  } else if (name == "focus-distance") {
    command.kind = CommandKind::kFocusDistance;
    if (reader.Arity(3, "focus-distance CAM MODE DIST")) {
      reader.Camera(1, &command.camera);
      reader.Int(2, INT32_MIN, INT32_MAX, "mode", &command.first);
      reader.Float(3, "distance", &command.x);
    }
  } else if (name == "active") {
    command.kind = CommandKind::kActive;
    if (reader.Arity(1, "active CAM|none")) {
      if (words[1] == "none") {
        command.camera = -1;
      } else {
        reader.Camera(1, &command.camera);
      }
    }
  } else if (name == "refresh") {
    command.kind = CommandKind::kRefresh;
    reader.Arity(0, "refresh");
  } else if (name == "preview") {
    command.kind = CommandKind::kPreview;
    command.first = kDefaultPreviewRenders;
    if (words.size() == 2 || reader.Arity(2, "preview FILE [RENDERS]")) {
      command.key = words[1];
      if (words.size() == 3) reader.Int(2, 1, kMaxPreviewRenders, "renders", &command.first);
    }
  } else if (name == "help") {
    command.kind = CommandKind::kHelp;
    reader.Arity(0, "help");
  } else if (name == "quit") {
    command.kind = CommandKind::kQuit;
    reader.Arity(0, "quit");
  } else {
    reader.Fail("unknown command \"" + name + "\" (help lists them)");
  }

  if (!reader.error().empty()) {
    result.status = ParseStatus::kError;
    result.error = reader.error();
    return result;
  }
  result.status = ParseStatus::kCommand;
  return result;
}

std::string DescribeCommand(const HostCommand& command) {
  const std::string camera = "cam" + std::to_string(command.camera);
  switch (command.kind) {
    case CommandKind::kSelect:
      return "select " + camera + " key " + Quoted(command.key.c_str());
    case CommandKind::kFormat:
      return "format " + camera + " " + std::to_string(command.first);
    case CommandKind::kBlank:
      return "blank " + std::to_string(command.first);
    case CommandKind::kButton:
      return "button " + camera + " code " + std::to_string(command.first) + " value " + std::to_string(command.second);
    case CommandKind::kFocus:
      return "focus " + camera + " at " + FloatText(command.x) + " " + FloatText(command.y) + " flag " +
             std::to_string(command.first);
    case CommandKind::kFocusDistance:
      return "focus-distance " + camera + " mode " + std::to_string(command.first) + " distance " +
             FloatText(command.x);
    case CommandKind::kActive:
      return command.camera < 0 ? std::string("active none") : "active " + camera;
    case CommandKind::kRefresh:
      return "refresh";
    case CommandKind::kPreview:
      return "preview " + Quoted(command.key.c_str()) + " after " + std::to_string(command.first) + " renders";
    case CommandKind::kHelp:
      return "help";
    case CommandKind::kQuit:
      return "quit";
  }
  return "?";
}

const char* CommandHelp() {
  return "select CAM KEY                  connect camera CAM to the phone listed under KEY\n"
         "format CAM N                    video format: 0 automatic, 1-10 a size of the format list\n"
         "blank 0|1                       blank (1) or unblank (0) every camera\n"
         "button CAM CODE VALUE           send a button event to the phone of camera CAM\n"
         "focus CAM X Y FLAG              send a focus point (X, Y) with FLAG 0-255\n"
         "focus-distance CAM MODE DIST    send a focus mode and distance\n"
         "active CAM|none                 mark the camera the user looks at\n"
         "refresh                         restart DNS service browsing\n"
         "preview FILE [RENDERS]          render the active camera's picture RENDERS times (default 3)\n"
         "                                on the preview surface and save it as a PNG\n"
         "help                            this list\n"
         "quit                            close every camera and exit\n";
}

}  // namespace kavexhost
