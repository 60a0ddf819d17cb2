#include "host_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace kavexhost {
namespace {

bool ReadInt(const std::string& text, int low, int high, int* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
  *value = static_cast<int>(parsed);
  return true;
}

bool ReadSeconds(const std::string& text, double* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  // A week is far beyond any run; the bound keeps the deadline arithmetic exact.
  if (errno != 0 || *end != '\0' || !(parsed > 0.0) || parsed > 604800.0) return false;
  *value = parsed;
  return true;
}

}  // namespace

OptionsResult ParseHostOptions(const std::vector<std::string>& args) {
  OptionsResult result;
  HostOptions& options = result.options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--quiet") {
      options.quiet = true;
      continue;
    }
    if (option == "--help" || option == "-h") {
      options.help = true;
      continue;
    }
    const bool takesValue = option == "--dll" || option == "--cameras" || option == "--format-choice" ||
                            option == "--passcode-file" || option == "--events" || option == "--exports" ||
                            option == "--duration";
    if (!takesValue) {
      result.error = "unknown option " + option;
      return result;
    }
    if (i + 1 >= args.size()) {
      result.error = option + " needs a value";
      return result;
    }
    const std::string& value = args[++i];
    bool good = true;
    if (option == "--dll") {
      good = !value.empty();
      options.dll = value;
    } else if (option == "--cameras") {
      good = ReadInt(value, 1, 4, &options.cameras);
    } else if (option == "--format-choice") {
      good = ReadInt(value, 0, 10, &options.formatChoice);
    } else if (option == "--passcode-file") {
      good = !value.empty();
      options.passcodeFile = value;
    } else if (option == "--events") {
      good = !value.empty();
      options.eventsFile = value;
    } else if (option == "--exports") {
      good = !value.empty();
      options.exportsFile = value;
    } else {
      good = ReadSeconds(value, &options.durationSeconds);
    }
    if (!good) {
      result.error = "bad value for " + option + ": \"" + value + "\"";
      return result;
    }
  }
  result.ok = true;
  return result;
}

const char* HostUsage() {
  return "usage: kavex-host [options]\n"
         "  --dll FILE            the engine to load (default engine.dll; a bare name is taken from\n"
         "                        the folder of kavex-host.exe)\n"
         "  --cameras N           cameras to create and open, 1-4 (default 1)\n"
         "  --format-choice N     answer to the format choice: 0 automatic, 1-10 a size (default 0)\n"
         "  --passcode-file FILE  passcodes to give phones that ask: NAME=PASSCODE for one phone,\n"
         "                        PASSCODE for any phone; each line is used once\n"
         "  --events FILE         also write the callbacks scripts wait for, one line each, to FILE\n"
         "                        (\"SECONDS EVENT CAMERA VALUES\": open, state, phone, format-choice,\n"
         "                        video-size)\n"
         "  --exports FILE        also resolve every export a .def file lists (engine.def of the\n"
         "                        release); one missing stops the host (exit 1)\n"
         "  --duration SECONDS    quit after this long (default: run until quit or Ctrl-C)\n"
         "  --quiet               print only the callbacks, passcode prompts and errors\n"
         "Commands on standard input, one per line (help lists them). End of input keeps the host\n"
         "running until --duration ends.\n"
         "Exit: 0 done, 1 the engine could not be loaded or set up, 2 bad usage.\n";
}

}  // namespace kavexhost
