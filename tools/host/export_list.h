#pragma once
// The export names of a module-definition (.def) file: what `--exports FILE` resolves in the
// loaded engine. Pure parsing, no side effects.
#include <string>
#include <vector>

namespace kavexhost {

struct ExportListResult {
  bool ok = false;
  std::vector<std::string> names;  // in the file's order
  std::string error;
};

// Every name the DLL exports by the file: under EXPORTS, the first word of each line, before any
// "=" (the build's internal name follows), or the word after "==" (an import library's symbol
// stands before it); ";" starts a comment. A file with no name under EXPORTS is refused.
ExportListResult ParseExportList(const std::string& text);

}  // namespace kavexhost
