#include "host_options.h"

#include <functional>

#include "command_line.h"

namespace kavexhost {

OptionsResult ParseHostOptions(const std::vector<std::string>& args) {
  using toolcommon::ReadInteger;
  OptionsResult result;
  HostOptions& options = result.options;
  toolcommon::CommandLine line;
  // Every refused value is reported the same way, with the value as it was given.
  const auto option = [&line](const char* name, std::function<bool(const std::string&)> read) {
    line.Value(name, [name, read](const std::string& value) {
      return read(value) ? std::string() : std::string("bad value for ") + name + ": \"" + value + "\"";
    });
  };
  const auto file = [](std::string* field) {
    return [field](const std::string& value) {
      *field = value;
      return !value.empty();
    };
  };
  line.Help(&options.help);
  line.Flag("--quiet", [&options] { options.quiet = true; });
  option("--dll", file(&options.dll));
  option("--cameras", [&options](const std::string& value) { return ReadInteger(value, 1, 4, &options.cameras); });
  option("--format-choice",
         [&options](const std::string& value) { return ReadInteger(value, 0, 10, &options.formatChoice); });
  option("--passcode-file", file(&options.passcodeFile));
  option("--events", file(&options.eventsFile));
  option("--exports", file(&options.exportsFile));
  option("--duration", [&options](const std::string& value) {
    // A week is far beyond any run; the bound keeps the deadline arithmetic exact.
    return toolcommon::ReadNumber(value, 0.0, 604800.0, &options.durationSeconds) && options.durationSeconds > 0.0;
  });
  result.error = line.Parse(args);
  result.ok = result.error.empty();
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
