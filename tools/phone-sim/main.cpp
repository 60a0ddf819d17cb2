// phone-sim: plays the phone's side of the session protocol for tests and demos.
// Usage and the control commands: README.md beside this file, or `phone-sim --help`.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"
#include "simulator.h"
#include "wire.h"

namespace {

using phonesim::SimOptions;

const char kUsage[] =
    "usage: phone-sim [options]\n"
    "  --listen ADDR:PORT        session port (default 0.0.0.0:4699; [ADDR]:PORT for IPv6; port 0 = any)\n"
    "  --control ADDR:PORT       line-based control channel (off unless given)\n"
    "  --probe ADDR:PORT         port that answers every connection with the 280-byte announcement\n"
    "  --id HEX32                phone identifier, 32 hex digits (default 70686f6e652d73696d00000000000001)\n"
    "  --name TEXT               phone name (default \"Phone Sim\")\n"
    "  --kind N                  kind code, 0-65535 (default 2)\n"
    "  --format WxH@FPS          a format of the capabilities (repeatable; default 640x480@30,\n"
    "                            1280x720@30, 1920x1080@30)\n"
    "  --formats LIST|none       comma-separated formats; none = an empty list\n"
    "  --hevc                    offer HEVC in the capabilities\n"
    "  --passcode TEXT           challenge each engine before the opening\n"
    "  --challenge N             fixed 64-bit challenge (default: a new one each time)\n"
    "  --manual                  send nothing on connect (the control channel drives the opening)\n"
    "  --no-autostream           do not stream on a format request (use `stream on`)\n"
    "  --video-rate N|fps        video packets per second (default fps: the rate asked for); 0 = none\n"
    "  --audio-rate N            audio packets per second (default 50); 0 = none\n"
    "  --video-bytes N           synthetic video payload size (default 2000)\n"
    "  --audio-bytes N           synthetic audio payload size (default 80)\n"
    "  --h264-fixture FILE       video payloads when H.264 is asked for (packet file, README.md)\n"
    "  --hevc-fixture FILE       video payloads when HEVC is asked for\n"
    "  --opus-fixture FILE       audio payloads\n"
    "  --chaos SEED[:RATE]       hostile messages among the stream, RATE a second (default 20), seeded\n"
    "  --announce-if IFNAME      multicast announcements on this interface (test network only)\n"
    "  --announce-family 4|6|both  (default both)\n"
    "  --announce-interval MS    period of the announcements (default 1000; 0 = on command only)\n"
    "  --announce-port N         (default 4698)\n"
    "  --script FILE             run control commands from FILE; stops at the first err/timeout\n"
    "  --script-keep-going       do not stop at a failed script command\n"
    "  --once                    exit after the first session ends\n"
    "  --sessions N              exit after N sessions ended\n"
    "  --exit-after MS           exit after MS milliseconds\n"
    "  --ready-file FILE         write the ready line to FILE too\n"
    "  --summary FILE            write the end-of-run summary to FILE (\"key value\" lines, README.md)\n"
    "  --quiet                   log errors only\n"
    "Prints \"ready session=ADDR:PORT control=ADDR:PORT|- probe=ADDR:PORT|-\" on stdout once it listens.\n"
    "Exit: 0 done (signal, shutdown, limits), 1 runtime failure or failed script, 2 bad usage or set-up.\n";

[[noreturn]] void Usage(const std::string& why) {
  std::fprintf(stderr, "phone-sim: %s\n%s", why.c_str(), kUsage);
  std::exit(2);
}

long long Number(const std::string& option, const std::string& text, long long low, long long high) {
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 0);
  if (text.empty() || errno != 0 || *end != '\0' || value < low || value > high) {
    Usage(option + " needs a number from " + std::to_string(low) + " to " + std::to_string(high) + ", not '" + text +
          "'");
  }
  return value;
}

double Rate(const std::string& option, const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value) || value < 0 || value > 1000) {
    Usage(option + " needs a rate from 0 to 1000");
  }
  return value;
}

void AddFormats(const std::string& list, std::vector<phonesim::wire::VideoFormat>* formats) {
  if (list == "none") return;
  size_t start = 0;
  while (true) {
    const size_t comma = list.find(',', start);
    const std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    phonesim::wire::VideoFormat format;
    if (!phonesim::wire::ParseFormat(item, &format)) Usage("bad format '" + item + "' (WxH@FPS)");
    formats->push_back(format);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
}

std::shared_ptr<const phonesim::PacketSource> Fixture(const std::string& path) {
  std::string error;
  auto source = phonesim::PacketSource::Load(path, &error);
  if (!source) Usage(error);
  return source;
}

void Endpoint(const std::string& text, simsock::Endpoint* out) {
  std::string error;
  if (!simsock::ParseEndpoint(text, out, &error)) Usage(error);
}

SimOptions ParseOptions(int argc, char** argv) {
  SimOptions options;
  Endpoint("0.0.0.0:4699", &options.listen);
  phonesim::wire::ParsePhoneId("70686f6e652d73696d00000000000001", &options.phone.identity.id);
  options.phone.identity.name = "Phone Sim";
  options.phone.identity.kind = 2;
  bool formatsGiven = false;
  std::vector<phonesim::wire::VideoFormat> formats;

  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(option + " needs a value");
      return argv[++i];
    };
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (option == "--listen") {
      Endpoint(value(), &options.listen);
    } else if (option == "--control") {
      Endpoint(value(), &options.controlEndpoint);
      options.control = true;
    } else if (option == "--probe") {
      Endpoint(value(), &options.probeEndpoint);
      options.probe = true;
    } else if (option == "--id") {
      const std::string text = value();
      if (!phonesim::wire::ParsePhoneId(text, &options.phone.identity.id)) Usage("--id needs 32 hex digits");
    } else if (option == "--name") {
      options.phone.identity.name = value();
      if (options.phone.identity.name.size() > 255) Usage("--name is at most 255 bytes");
    } else if (option == "--kind") {
      options.phone.identity.kind = static_cast<uint16_t>(Number(option, value(), 0, 65535));
    } else if (option == "--format" || option == "--formats") {
      formatsGiven = true;
      AddFormats(value(), &formats);
    } else if (option == "--hevc") {
      options.phone.hevc = true;
    } else if (option == "--passcode") {
      options.phone.passcodeSet = true;
      options.phone.passcode = value();
    } else if (option == "--challenge") {
      const std::string text = value();
      errno = 0;
      char* end = nullptr;
      options.phone.challenge = std::strtoull(text.c_str(), &end, 0);
      if (text.empty() || text[0] == '-' || errno != 0 || *end != '\0') Usage("--challenge needs a 64-bit number");
      options.phone.fixedChallenge = true;
    } else if (option == "--manual") {
      options.phone.manual = true;
    } else if (option == "--no-autostream") {
      options.phone.autostream = false;
    } else if (option == "--video-rate") {
      const std::string text = value();
      options.phone.videoRate = text == "fps" ? phonesim::PhoneConfig::kFollowRequest : Rate(option, text);
    } else if (option == "--audio-rate") {
      options.phone.audioRate = Rate(option, value());
    } else if (option == "--video-bytes") {
      options.phone.videoBytes = static_cast<size_t>(Number(option, value(), 0, phonesim::PacketSource::kMaxPacket));
    } else if (option == "--audio-bytes") {
      options.phone.audioBytes = static_cast<size_t>(Number(option, value(), 0, phonesim::PacketSource::kMaxPacket));
    } else if (option == "--h264-fixture") {
      options.phone.h264 = Fixture(value());
    } else if (option == "--hevc-fixture") {
      options.phone.hevcPackets = Fixture(value());
    } else if (option == "--chaos") {
      const std::string text = value();
      if (!phonesim::ParseChaos(text, &options.phone.chaos))
        Usage("--chaos needs SEED or SEED:RATE (RATE above 0, at most 1000), not '" + text + "'");
    } else if (option == "--opus-fixture") {
      options.phone.opus = Fixture(value());
    } else if (option == "--announce-if") {
      options.announce.interface = value();
    } else if (option == "--announce-family") {
      const std::string family = value();
      if (family != "4" && family != "6" && family != "both") Usage("--announce-family is 4, 6 or both");
      options.announce.ipv4 = family != "6";
      options.announce.ipv6 = family != "4";
    } else if (option == "--announce-interval") {
      options.announce.intervalMs = static_cast<int>(Number(option, value(), 0, 3600000));
    } else if (option == "--announce-port") {
      options.announce.port = static_cast<uint16_t>(Number(option, value(), 1, 65535));
    } else if (option == "--script") {
      options.scriptPath = value();
    } else if (option == "--script-keep-going") {
      options.scriptKeepGoing = true;
    } else if (option == "--once") {
      options.once = true;
    } else if (option == "--sessions") {
      options.sessionLimit = static_cast<int>(Number(option, value(), 1, 1000000));
    } else if (option == "--exit-after") {
      options.exitAfterMs = static_cast<int>(Number(option, value(), 1, 86400000));
    } else if (option == "--ready-file") {
      options.readyFile = value();
    } else if (option == "--summary") {
      options.summaryFile = value();
    } else if (option == "--quiet") {
      phonesim::SetQuiet(true);
    } else {
      Usage("unknown option " + option);
    }
  }
  if (formatsGiven) {
    options.phone.formats = formats;
  } else {
    options.phone.formats = {{640, 480, 30.0f}, {1280, 720, 30.0f}, {1920, 1080, 30.0f}};
  }
  if (options.phone.formats.size() > 1000) Usage("at most 1000 formats");
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions options = ParseOptions(argc, argv);

  // Signals are read from a descriptor by the main loop; every thread inherits the block.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (signalFd < 0) {
    std::fprintf(stderr, "phone-sim: signalfd: %s\n", std::strerror(errno));
    return 1;
  }

  int code;
  {
    phonesim::Simulator sim(std::move(options));
    std::string error;
    if (!sim.Setup(&error)) {
      phonesim::LogError(error);
      close(signalFd);
      return 2;
    }
    code = sim.Run(signalFd);
  }
  close(signalFd);
  return code;
}
