#pragma once
// The host's console commands, one per line, parsed into what the engine is to be told. Pure
// functions: no engine and no console involved.
#include <cstdint>
#include <string>

namespace kavexhost {

// preview: how often the picture is rendered before the target is saved, a frame time apart.
constexpr int32_t kDefaultPreviewRenders = 3;
constexpr long kMaxPreviewRenders = 100;

enum class CommandKind {
  kSelect,         // select CAM KEY            -> ESelectPhone
  kFormat,         // format CAM N              -> ESetVideoFormat
  kBlank,          // blank 0|1                 -> ESetBlank
  kButton,         // button CAM CODE VALUE     -> ButtonEvent
  kFocus,          // focus CAM X Y FLAG        -> EFocus
  kFocusDistance,  // focus-distance CAM MODE DIST -> EFocusDistance
  kActive,         // active CAM|none           -> ESetActiveIdx
  kRefresh,        // refresh                   -> ERefresh
  kPreview,        // preview FILE [RENDERS]    -> GetBackBufferNoRef, Render, the target saved as a PNG
  kHelp,           // help
  kQuit,           // quit
};

struct HostCommand {
  CommandKind kind = CommandKind::kHelp;
  int camera = 0;      // 0-3; -1 for "active none"
  int32_t first = 0;   // format index, blank flag, button code, focus flag, focus mode, renders
  int32_t second = 0;  // button value
  float x = 0.0f;      // focus x, focus distance
  float y = 0.0f;      // focus y
  std::string key;     // select; preview: the PNG's path
};

enum class ParseStatus { kCommand, kEmpty, kError };

struct ParsedLine {
  ParseStatus status = ParseStatus::kEmpty;
  HostCommand command;
  std::string error;  // kError: why, for the user
};

// Blank lines and lines starting with '#' are kEmpty. Words are separated by blanks or tabs; a
// trailing carriage return is ignored.
ParsedLine ParseCommandLine(const std::string& line);

// How a parsed command is echoed, e.g. "button cam0 code 4 value 1".
std::string DescribeCommand(const HostCommand& command);

// The command summary that `help` prints, one command per line.
const char* CommandHelp();

}  // namespace kavexhost
