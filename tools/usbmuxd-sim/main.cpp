// usbmuxd-sim: stands in for the USB multiplexing service in tests (README.md).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "server.h"

namespace {

const char kUsage[] =
    "usage: usbmuxd-sim [options]\n"
    "  --unix PATH            the service's unix socket (default /var/run/usbmuxd when neither\n"
    "                         --unix nor --tcp is given and /var/run is writable)\n"
    "  --tcp ADDR:PORT        the service on TCP as well or instead (port 0 = any)\n"
    "  --control ADDR:PORT    line-based control channel (off unless given)\n"
    "  --devices FILE         device script, re-read when it changes\n"
    "  --max-connections N    client connections at once (default 64)\n"
    "  --ready-file FILE      write the ready line to FILE too\n"
    "  --quiet                log errors only\n"
    "Prints \"ready unix=PATH|- tcp=ADDR:PORT|- control=ADDR:PORT|-\" on stdout once it listens.\n"
    "Exit: 0 on SIGTERM/SIGINT, 2 bad usage or set-up.\n";

constexpr char kDefaultSocket[] = "/var/run/usbmuxd";

int Usage(const std::string& complaint) {
  std::fprintf(stderr, "usbmuxd-sim: %s\n%s", complaint.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  muxsim::ServerOptions options;
  std::string readyFile;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* given = nullptr;
    if (option == "--quiet") {
      options.quiet = true;
      continue;
    }
    if (option == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (!(given = value())) return Usage("missing value after " + option);
    if (option == "--unix") {
      options.unixPath = given;
    } else if (option == "--tcp") {
      options.tcp = given;
    } else if (option == "--control") {
      options.control = given;
    } else if (option == "--devices") {
      options.scriptPath = given;
    } else if (option == "--ready-file") {
      readyFile = given;
    } else if (option == "--max-connections") {
      char* end = nullptr;
      const long count = std::strtol(given, &end, 10);
      if (*end != '\0' || count < 1 || count > 1024) return Usage("--max-connections wants 1-1024");
      options.maxConnections = static_cast<size_t>(count);
    } else {
      return Usage("unknown option " + option);
    }
  }
  if (options.unixPath.empty() && options.tcp.empty()) {
    if (::access("/var/run", W_OK) != 0) return Usage("/var/run is not writable: give --unix PATH or --tcp ADDR:PORT");
    options.unixPath = kDefaultSocket;
  }

  // Signals are taken by this thread alone, with sigwait: every thread started later inherits
  // the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  muxsim::Server server(options);
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "usbmuxd-sim: %s\n", error.c_str());
    server.Stop();
    return 2;
  }
  const std::string ready = server.ReadyLine();
  if (!readyFile.empty()) {
    // Written whole under another name first, so a reader never sees half a line.
    const std::string partial = readyFile + ".partial";
    std::ofstream(partial) << ready << "\n";
    std::rename(partial.c_str(), readyFile.c_str());
  }
  std::printf("%s\n", ready.c_str());
  std::fflush(stdout);

  int received = 0;
  sigwait(&signals, &received);
  server.Stop();
  return 0;
}
