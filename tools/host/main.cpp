// kavex-host: the reference console host. Loads the engine, opens its cameras, prints every
// callback and takes commands on standard input. Usage: README.md beside this file, or --help.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "console_host.h"
#include "host_events.h"
#include "host_log.h"
#include "host_options.h"
#include "passcode_file.h"

int main(int argc, char** argv) {
  // Plain "\n" line ends: the output is read by scripts and tests as much as by people.
  _setmode(_fileno(stdout), _O_BINARY);

  const kavexhost::OptionsResult parsed = kavexhost::ParseHostOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.ok) {
    std::fprintf(stderr, "kavex-host: %s\n%s", parsed.error.c_str(), kavexhost::HostUsage());
    return 2;
  }
  if (parsed.options.help) {
    std::fputs(kavexhost::HostUsage(), stdout);
    return 0;
  }
  kavexhost::PasscodeFile passcodes;
  if (!parsed.options.passcodeFile.empty()) {
    std::string error;
    if (!passcodes.Load(parsed.options.passcodeFile, &error)) {
      std::fprintf(stderr, "kavex-host: %s\n", error.c_str());
      return 2;
    }
  }
  kavexhost::HostLog log(stdout, parsed.options.quiet);
  kavexhost::HostEvents events(log);
  if (!parsed.options.eventsFile.empty()) {
    std::string error;
    if (!events.Open(parsed.options.eventsFile, &error)) {
      std::fprintf(stderr, "kavex-host: %s\n", error.c_str());
      return 2;
    }
  }
  kavexhost::ConsoleHost host(parsed.options, log, events, std::move(passcodes));
  return host.Run();
}
