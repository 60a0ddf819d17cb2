// phone-sim: plays the phone's side of the session protocol for tests and demos.
// Usage and the control commands: README.md beside this file, or `phone-sim --help`.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "command_line.h"
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
  long long value = 0;
  if (!toolcommon::ReadInteger(text, low, high, &value, 0)) {
    Usage(option + " needs a number from " + std::to_string(low) + " to " + std::to_string(high) + ", not '" + text +
          "'");
  }
  return value;
}

double Rate(const std::string& option, const std::string& text) {
  double value = 0;
  if (!toolcommon::ReadNumber(text, 0, 1000, &value)) Usage(option + " needs a rate from 0 to 1000");
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

  // Every action reports a bad value itself, through Usage.
  toolcommon::CommandLine line;
  const auto option = [&line](const char* name, std::function<void(const std::string&)> take) {
    line.Value(name, [take](const std::string& value) {
      take(value);
      return std::string();
    });
  };
  bool help = false;
  line.Help(&help);
  option("--listen", [&](const std::string& value) { Endpoint(value, &options.listen); });
  option("--control", [&](const std::string& value) {
    Endpoint(value, &options.controlEndpoint);
    options.control = true;
  });
  option("--probe", [&](const std::string& value) {
    Endpoint(value, &options.probeEndpoint);
    options.probe = true;
  });
  option("--id", [&](const std::string& value) {
    if (!phonesim::wire::ParsePhoneId(value, &options.phone.identity.id)) Usage("--id needs 32 hex digits");
  });
  option("--name", [&](const std::string& value) {
    if (value.size() > 255) Usage("--name is at most 255 bytes");
    options.phone.identity.name = value;
  });
  option("--kind", [&](const std::string& value) {
    options.phone.identity.kind = static_cast<uint16_t>(Number("--kind", value, 0, 65535));
  });
  for (const char* name : {"--format", "--formats"}) {
    option(name, [&](const std::string& value) {
      formatsGiven = true;
      AddFormats(value, &formats);
    });
  }
  line.Flag("--hevc", [&] { options.phone.hevc = true; });
  option("--passcode", [&](const std::string& value) {
    options.phone.passcodeSet = true;
    options.phone.passcode = value;
  });
  option("--challenge", [&](const std::string& value) {
    errno = 0;
    char* end = nullptr;
    options.phone.challenge = std::strtoull(value.c_str(), &end, 0);
    if (value.empty() || value[0] == '-' || errno != 0 || *end != '\0') Usage("--challenge needs a 64-bit number");
    options.phone.fixedChallenge = true;
  });
  line.Flag("--manual", [&] { options.phone.manual = true; });
  line.Flag("--no-autostream", [&] { options.phone.autostream = false; });
  option("--video-rate", [&](const std::string& value) {
    options.phone.videoRate = value == "fps" ? phonesim::PhoneConfig::kFollowRequest : Rate("--video-rate", value);
  });
  option("--audio-rate", [&](const std::string& value) { options.phone.audioRate = Rate("--audio-rate", value); });
  option("--video-bytes", [&](const std::string& value) {
    options.phone.videoBytes =
        static_cast<size_t>(Number("--video-bytes", value, 0, phonesim::PacketSource::kMaxPacket));
  });
  option("--audio-bytes", [&](const std::string& value) {
    options.phone.audioBytes =
        static_cast<size_t>(Number("--audio-bytes", value, 0, phonesim::PacketSource::kMaxPacket));
  });
  option("--h264-fixture", [&](const std::string& value) { options.phone.h264 = Fixture(value); });
  option("--hevc-fixture", [&](const std::string& value) { options.phone.hevcPackets = Fixture(value); });
  option("--opus-fixture", [&](const std::string& value) { options.phone.opus = Fixture(value); });
  option("--chaos", [&](const std::string& value) {
    if (!phonesim::ParseChaos(value, &options.phone.chaos))
      Usage("--chaos needs SEED or SEED:RATE (RATE above 0, at most 1000), not '" + value + "'");
  });
  option("--announce-if", [&](const std::string& value) { options.announce.interface = value; });
  option("--announce-family", [&](const std::string& value) {
    if (value != "4" && value != "6" && value != "both") Usage("--announce-family is 4, 6 or both");
    options.announce.ipv4 = value != "6";
    options.announce.ipv6 = value != "4";
  });
  option("--announce-interval", [&](const std::string& value) {
    options.announce.intervalMs = static_cast<int>(Number("--announce-interval", value, 0, 3600000));
  });
  option("--announce-port", [&](const std::string& value) {
    options.announce.port = static_cast<uint16_t>(Number("--announce-port", value, 1, 65535));
  });
  option("--script", [&](const std::string& value) { options.scriptPath = value; });
  line.Flag("--script-keep-going", [&] { options.scriptKeepGoing = true; });
  line.Flag("--once", [&] { options.once = true; });
  option("--sessions", [&](const std::string& value) {
    options.sessionLimit = static_cast<int>(Number("--sessions", value, 1, 1000000));
  });
  option("--exit-after", [&](const std::string& value) {
    options.exitAfterMs = static_cast<int>(Number("--exit-after", value, 1, 86400000));
  });
  option("--ready-file", [&](const std::string& value) { options.readyFile = value; });
  option("--summary", [&](const std::string& value) { options.summaryFile = value; });
  line.Flag("--quiet", [] { phonesim::SetQuiet(true); });

  const std::string problem = line.Parse(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
  if (!problem.empty()) Usage(problem);
  if (help) {
    std::fputs(kUsage, stdout);
    std::exit(0);
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
