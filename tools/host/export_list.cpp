#include "export_list.h"

#include <sstream>

namespace kavexhost {

ExportListResult ParseExportList(const std::string& text) {
  ExportListResult result;
  std::istringstream lines(text);
  std::string line;
  bool inExports = false;
  while (std::getline(lines, line)) {
    line = line.substr(0, line.find(';'));
    std::istringstream words(line);
    std::string word;
    if (!(words >> word)) continue;
    if (word == "EXPORTS") {
      inExports = true;
      if (!(words >> word)) continue;  // names may follow on the same line
    } else if (word == "LIBRARY" || word == "NAME" || word == "DESCRIPTION") {
      inExports = false;
      continue;
    }
    if (!inExports) continue;
    // "A == B": the symbol A imports the DLL's export B. "A = B": the DLL exports A.
    const size_t importName = line.find("==");
    if (importName != std::string::npos) {
      std::istringstream rest(line.substr(importName + 2));
      word.clear();
      rest >> word;
    }
    result.names.push_back(word.substr(0, word.find('=')));
    if (result.names.back().empty()) {
      result.error = "no name before \"=\" in \"" + line + "\"";
      return result;
    }
  }
  if (result.names.empty()) {
    result.error = "no names under EXPORTS";
    return result;
  }
  result.ok = true;
  return result;
}

}  // namespace kavexhost
