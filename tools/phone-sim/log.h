#pragma once
#include <string>

namespace phonesim {

// One line on stderr, "phone-sim: " first. Quiet mode keeps only errors.
void SetQuiet(bool quiet);
void LogInfo(const std::string& line);
void LogError(const std::string& line);

}  // namespace phonesim
