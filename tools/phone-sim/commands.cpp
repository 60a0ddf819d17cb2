#include "commands.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>

#include "simulator.h"
#include "wire.h"

namespace phonesim {
namespace {

using Words = std::vector<std::string>;

Reply Ok(const std::string& detail = "") {
  Reply reply;
  reply.lines.push_back(detail.empty() ? "ok" : "ok " + detail);
  return reply;
}

Reply Err(const std::string& why) {
  Reply reply;
  reply.lines.push_back("err " + why);
  reply.failed = true;
  return reply;
}

Reply Timeout() {
  Reply reply;
  reply.lines.push_back("timeout");
  reply.failed = true;
  return reply;
}

Reply Multi(std::vector<std::string> lines) {
  Reply reply;
  reply.lines = std::move(lines);
  reply.multiLine = true;
  return reply;
}

// An integer given as decimal or 0x hex, from -2^31 to 2^32-1; the 32-bit pattern is kept, so
// one parser serves signed and unsigned fields.
bool ParseWord(const std::string& text, uint32_t* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value < -2147483648LL || value > 4294967295LL) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

bool ParseRange(const std::string& text, long long low, long long high, long long* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

bool ParseFloat(const std::string& text, float* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const float value = std::strtof(text.c_str(), &end);
  if (*end != '\0') return false;
  *out = value;
  return true;
}

bool ParseMs(const std::string& text, long long* out) { return ParseRange(text, 0, 24LL * 3600 * 1000, out); }

// "any" or 0-255
bool ParseType(const std::string& text, int* out) {
  if (text == "any") {
    *out = -1;
    return true;
  }
  long long value;
  if (!ParseRange(text, 0, 255, &value)) return false;
  *out = static_cast<int>(value);
  return true;
}

std::string RecordLine(const Recorder::Record& record) {
  return "type=" + std::to_string(record.bytes[3]) + " len=" + std::to_string(record.bytes.size()) +
         " session=" + std::to_string(record.session) + " ms=" + std::to_string(record.ms) +
         " hex=" + wire::ToHex(record.bytes);
}

std::shared_ptr<Session> Live(Simulator& sim) {
  std::shared_ptr<Session> session = sim.Current();
  if (session && session->Ended()) return nullptr;
  return session;
}

// Field kinds of the status messages: i = 32-bit integer, f = 32-bit float.
const std::map<int, std::string>& StatusLayouts() {
  static const std::map<int, std::string> layouts = {
      {16, "ii"}, {19, "iiii"}, {20, "fffi"}, {21, "ffff"}, {22, "iiii"}, {25, "if"},
  };
  return layouts;
}

Reply Status(Simulator& sim, const Words& words) {
  if (words.size() < 2) return Err("usage: status TYPE VALUES...");
  long long type;
  if (!ParseRange(words[1], 0, 255, &type)) return Err("bad type " + words[1]);
  std::vector<uint8_t> payload;
  if (type == wire::kStatus5) {
    if (words.size() > 3) return Err("usage: status 5 [HEX]");
    if (words.size() == 3 && !wire::FromHex(words[2], &payload)) return Err("bad hex");
  } else if (type == wire::kTextList) {
    if (words.size() < 3) return Err("usage: status 24 VALUE [TEXT...]");
    uint32_t value;
    if (!ParseWord(words[2], &value)) return Err("bad value " + words[2]);
    wire::PutU32(payload, static_cast<uint32_t>(words.size() - 3));
    wire::PutU32(payload, value);
    for (size_t i = 3; i < words.size(); ++i) {
      if (words[i].size() > wire::kTextSize - 1)
        return Err("text " + std::to_string(i - 2) + " is longer than 255 bytes");
      wire::PutText(payload, words[i]);
    }
  } else {
    const auto layout = StatusLayouts().find(static_cast<int>(type));
    if (layout == StatusLayouts().end())
      return Err("no status message of type " + words[1] + " (5, 16, 19-22, 24, 25)");
    const std::string& kinds = layout->second;
    if (words.size() != kinds.size() + 2) {
      return Err("type " + words[1] + " takes " + std::to_string(kinds.size()) + " values");
    }
    for (size_t i = 0; i < kinds.size(); ++i) {
      const std::string& word = words[i + 2];
      if (kinds[i] == 'f') {
        float value;
        if (!ParseFloat(word, &value)) return Err("bad float " + word);
        wire::PutF32(payload, value);
      } else {
        uint32_t value;
        if (!ParseWord(word, &value)) return Err("bad integer " + word);
        wire::PutU32(payload, value);
      }
    }
  }
  auto session = Live(sim);
  if (!session) return Err("not connected");
  const std::vector<uint8_t> message = wire::Message(static_cast<uint8_t>(type), payload);
  if (!session->Send(message, Session::Origin::kCommand)) return Err("send failed");
  return Ok("len=" + std::to_string(message.size()));
}

// Nine significant digits read back as the same float, so a reader can compare the timestamp with
// those the engine echoes.
std::string TimestampText(float timestamp) {
  if (timestamp < 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", static_cast<double>(timestamp));
  return text;
}

Reply State(Simulator& sim) {
  auto session = sim.Current();
  Session::Status status;
  std::string peer = "-";
  uint32_t number = 0;
  bool connected = false;
  if (session) {
    status = session->GetStatus();
    connected = !session->Ended();
    peer = session->PeerText();
    number = session->Number();
  }
  Recorder& recorder = sim.GetRecorder();
  std::string text =
      "connected=" + std::to_string(connected ? 1 : 0) + " session=" + std::to_string(number) + " peer=" + peer +
      " passcode=" + PasscodeText(status.passcode) + " streaming=" + std::to_string(status.streaming ? 1 : 0) +
      " silenced=" + std::to_string(status.silenced ? 1 : 0) + " codec=" + std::to_string(status.codec) +
      " format=" + (status.codec ? wire::FormatText(status.format) : std::string("-")) +
      " video_sent=" + std::to_string(status.videoSent) + " video_last=" + TimestampText(status.lastVideoTimestamp) +
      " audio_sent=" + std::to_string(status.audioSent) + " messages_sent=" + std::to_string(status.messagesSent) +
      " sessions=" + std::to_string(sim.SessionCount()) + " rejected=" + std::to_string(sim.RejectedCount()) +
      " received=" + std::to_string(recorder.Count(-1)) + " complaints=" + std::to_string(recorder.ComplaintCount()) +
      " announcements=" + std::to_string(sim.GetAnnouncer().Sent());
  return Ok(text);
}

Reply Set(Simulator& sim, const Words& words) {
  if (words.size() < 2)
    return Err("usage: set name|kind|id|formats|hevc|passcode|no-passcode|challenge|manual|autostream VALUE");
  const std::string& what = words[1];
  if (what == "no-passcode") {
    if (words.size() != 2) return Err("usage: set no-passcode");
    sim.UpdateConfig([](PhoneConfig& c) {
      c.passcodeSet = false;
      c.passcode.clear();
    });
    return Ok();
  }
  if (words.size() != 3) return Err("usage: set " + what + " VALUE");
  const std::string& value = words[2];
  if (what == "name") {
    if (value.size() > 255) return Err("name longer than 255 bytes");
    sim.UpdateConfig([&](PhoneConfig& c) { c.identity.name = value; });
  } else if (what == "kind") {
    long long kind;
    if (!ParseRange(value, 0, 65535, &kind)) return Err("kind must be 0-65535");
    sim.UpdateConfig([&](PhoneConfig& c) { c.identity.kind = static_cast<uint16_t>(kind); });
  } else if (what == "id") {
    wire::PhoneId id;
    if (!wire::ParsePhoneId(value, &id)) return Err("id must be 32 hex digits");
    sim.UpdateConfig([&](PhoneConfig& c) { c.identity.id = id; });
  } else if (what == "formats") {
    std::vector<wire::VideoFormat> formats;
    if (value != "none") {
      size_t start = 0;
      while (start <= value.size()) {
        const size_t comma = value.find(',', start);
        const std::string item = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        wire::VideoFormat format;
        if (!wire::ParseFormat(item, &format)) return Err("bad format " + item + " (WxH@FPS)");
        formats.push_back(format);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    }
    if (formats.size() > 1000) return Err("at most 1000 formats");
    sim.UpdateConfig([&](PhoneConfig& c) { c.formats = formats; });
  } else if (what == "hevc" || what == "manual" || what == "autostream") {
    if (value != "0" && value != "1") return Err(what + " is 0 or 1");
    const bool on = value == "1";
    sim.UpdateConfig([&](PhoneConfig& c) {
      if (what == "hevc") c.hevc = on;
      if (what == "manual") c.manual = on;
      if (what == "autostream") c.autostream = on;
    });
  } else if (what == "passcode") {
    sim.UpdateConfig([&](PhoneConfig& c) {
      c.passcodeSet = true;
      c.passcode = value;
    });
  } else if (what == "challenge") {
    if (value == "random") {
      sim.UpdateConfig([](PhoneConfig& c) { c.fixedChallenge = false; });
    } else {
      errno = 0;
      char* end = nullptr;
      const unsigned long long challenge = std::strtoull(value.c_str(), &end, 0);
      if (errno != 0 || *end != '\0' || value.empty() || value[0] == '-')
        return Err("challenge is a 64-bit number or random");
      sim.UpdateConfig([&](PhoneConfig& c) {
        c.fixedChallenge = true;
        c.challenge = challenge;
      });
    }
  } else {
    return Err("unknown setting " + what);
  }
  return Ok();
}

Reply WaitReply(bool done) { return done ? Ok() : Timeout(); }

Reply SendResult(bool ok) { return ok ? Ok() : Err("send failed"); }

// The wait commands that take one time limit and a condition on the simulator.
Reply WaitFor(Simulator& sim, const Words& words, const std::function<bool()>& ready) {
  long long timeout;
  if (!ParseMs(words[1], &timeout)) return Err("usage: " + words[0] + " MS");
  return WaitReply(sim.WaitUntil(ready, std::chrono::milliseconds(timeout)));
}

Reply Shutdown(Simulator& sim, const Words& words, Session*) {
  long long code = 0;
  if (words.size() == 2 && !ParseRange(words[1], 0, 255, &code)) return Err("usage: shutdown [CODE 0-255]");
  sim.RequestStop(static_cast<int>(code));
  return Ok();
}

Reply Received(Simulator& sim, const Words& words, Session*) {
  int type = -1;
  if (words.size() == 2 && !ParseType(words[1], &type)) return Err("usage: received [TYPE|any]");
  std::vector<std::string> lines;
  for (const auto& record : sim.GetRecorder().Snapshot(type)) lines.push_back(RecordLine(record));
  return Multi(std::move(lines));
}

Reply Last(Simulator& sim, const Words& words, Session*) {
  int type;
  if (!ParseType(words[1], &type)) return Err("usage: last TYPE|any");
  const auto records = sim.GetRecorder().Snapshot(type);
  if (records.empty()) return Err("none");
  return Ok(RecordLine(records.back()));
}

Reply Count(Simulator& sim, const Words& words, Session*) {
  int type;
  if (!ParseType(words[1], &type)) return Err("usage: count TYPE|any");
  return Ok(std::to_string(sim.GetRecorder().Count(type)));
}

Reply WaitReceived(Simulator& sim, const Words& words, Session*) {
  int type;
  long long timeout;
  long long count = 1;
  if (!ParseType(words[1], &type) || !ParseMs(words[2], &timeout) ||
      (words.size() == 4 && !ParseRange(words[3], 1, 1000000000, &count))) {
    return Err("usage: wait-received TYPE|any TIMEOUT_MS [COUNT]");
  }
  return WaitReply(sim.GetRecorder().WaitFor(type, static_cast<uint64_t>(count), std::chrono::milliseconds(timeout)));
}

Reply WaitPasscode(Simulator& sim, const Words& words, Session*) {
  long long timeout;
  if (!ParseMs(words[1], &timeout)) return Err("usage: wait-passcode MS");
  Session::Passcode verdict = Session::Passcode::kNone;
  const bool done = sim.WaitUntil(
      [&] {
        auto s = sim.Current();
        if (!s) return false;
        verdict = s->GetStatus().passcode;
        return verdict == Session::Passcode::kAccepted || verdict == Session::Passcode::kRejected;
      },
      std::chrono::milliseconds(timeout));
  if (!done) return Timeout();
  return Ok(std::string("passcode=") + PasscodeText(verdict));
}

Reply Sleep(Simulator& sim, const Words& words, Session*) {
  long long timeout;
  if (!ParseMs(words[1], &timeout)) return Err("usage: sleep MS");
  sim.WaitUntil([] { return false; }, std::chrono::milliseconds(timeout));
  return sim.Stopping() ? Err("stopping") : Ok();
}

Reply Announce(Simulator& sim, const Words&, Session*) {
  std::string error;
  const int sent = sim.GetAnnouncer().AnnounceNow(wire::Announcement(sim.Config().identity), &error);
  if (sent < 0) return Err(error);
  return Ok("sent=" + std::to_string(sent));
}

Reply Send(Simulator&, const Words& words, Session* session) {
  long long type;
  std::vector<uint8_t> payload;
  if (!ParseRange(words[1], 0, 255, &type) || (words.size() == 3 && !wire::FromHex(words[2], &payload))) {
    return Err("usage: send TYPE [HEX]");
  }
  return SendResult(session->Send(wire::Message(static_cast<uint8_t>(type), payload), Session::Origin::kCommand));
}

Reply SendRaw(Simulator&, const Words& words, Session* session) {
  std::vector<uint8_t> bytes;
  if (!wire::FromHex(words[1], &bytes) || bytes.empty()) return Err("usage: send-raw HEX");
  return SendResult(session->Send(bytes, Session::Origin::kCommand));
}

Reply Challenge(Simulator& sim, const Words&, Session* session) {
  const PhoneConfig config = sim.Config();
  if (!config.passcodeSet) return Err("no passcode set (set passcode TEXT)");
  return SendResult(session->SendChallenge(config.passcode, !config.manual, Session::Origin::kCommand));
}

Reply Stream(Simulator&, const Words& words, Session* session) {
  if (words[1] != "on" && words[1] != "off") return Err("usage: stream on|off");
  session->SetStreaming(words[1] == "on");
  return Ok();
}

Reply Rate(Simulator& sim, const Words& words, Session* session) {
  if (words[1] != "video" && words[1] != "audio") return Err("usage: rate video N|fps | rate audio N");
  double rate;
  if (words[1] == "video" && words[2] == "fps") {
    rate = PhoneConfig::kFollowRequest;
  } else {
    char* end = nullptr;
    rate = std::strtod(words[2].c_str(), &end);
    if (words[2].empty() || *end != '\0' || !std::isfinite(rate) || rate < 0 || rate > 1000) {
      return Err("rate is 0-1000 packets per second");
    }
  }
  sim.UpdateConfig([&](PhoneConfig& c) { (words[1] == "video" ? c.videoRate : c.audioRate) = rate; });
  const PhoneConfig now = sim.Config();
  session->SetRates(now.videoRate, now.audioRate);
  return Ok();
}

Reply Goodbye(Simulator&, const Words& words, Session* session) {
  if (words.size() == 2 && words[1] != "close") return Err("usage: goodbye [close]");
  session->SetStreaming(false);
  const bool ok = session->Send(wire::Message(wire::kGoodbye), Session::Origin::kCommand);
  if (ok && words.size() == 2) session->Disconnect();
  return SendResult(ok);
}

Reply Trickle(Simulator&, const Words& words, Session* session) {
  long long delay = 50;
  if (words.size() == 2 && !ParseRange(words[1], 0, 10000, &delay)) return Err("usage: trickle [DELAY_MS 0-10000]");
  session->ArmTrickle(static_cast<int>(delay));
  return Ok();
}

// A bare header whose length field lies: above the largest message, or below the header itself.
Reply BrokenHeader(const Words& words, Session* session, bool over) {
  long long length = over ? wire::kMaxMessage + 1 : 0;
  long long type = wire::kVideo;
  const long long low = over ? wire::kMaxMessage + 1 : 0;
  const long long high = over ? wire::kMaxLengthField : 3;
  if ((words.size() >= 2 && !ParseRange(words[1], low, high, &length)) ||
      (words.size() == 3 && !ParseRange(words[2], 0, 255, &type))) {
    return Err(over ? "usage: oversize [LENGTH 4000001-16777215 [TYPE]]" : "usage: short-header LENGTH 0-3 [TYPE]");
  }
  // Nothing automatic follows the broken header, so the engine sees exactly these 4 bytes.
  session->SetSilenced(true);
  const std::vector<uint8_t> header = wire::BareHeader(static_cast<uint8_t>(type), static_cast<uint32_t>(length));
  if (!session->Send(header, Session::Origin::kCommand)) return Err("send failed");
  return Ok("hex=" + wire::ToHex(header));
}

// Now on the live session and on every later connection, until `chaos off`.
Reply Chaos(Simulator& sim, const Words& words, Session*) {
  ChaosSettings chaos;
  if (words.size() == 1) {
    auto session = Live(sim);
    if (!session) return Ok(sim.Config().chaos.on ? "on sent=0" : "off sent=0");
    const Session::Status status = session->GetStatus();
    return Ok(std::string(status.chaos.on ? "on" : "off") + " sent=" + std::to_string(status.chaosSent));
  }
  if (words.size() == 2 && words[1] != "off") return Err("usage: chaos [SEED RATE | off]");
  if (words.size() == 3) {
    if (!ParseChaos(words[1] + ":" + words[2], &chaos))
      return Err("usage: chaos SEED RATE (RATE above 0, at most 1000)");
  }
  sim.UpdateConfig([&](PhoneConfig& c) { c.chaos = chaos; });
  uint64_t sent = 0;
  if (auto session = Live(sim)) {
    sent = session->GetStatus().chaosSent;
    session->SetChaos(chaos);
  }
  return Ok("sent=" + std::to_string(sent));
}

Reply Corrupt(Simulator&, const Words& words, Session* session) {
  long long count;
  long long seed = 1;
  if (!ParseRange(words[1], 0, 1000000, &count) ||
      (words.size() == 3 && !ParseRange(words[2], 0, 0x7fffffffffffffffLL, &seed))) {
    return Err("usage: corrupt COUNT [SEED]");
  }
  session->CorruptVideo(static_cast<uint32_t>(count), static_cast<uint64_t>(seed));
  return Ok();
}

Reply Refuse(Simulator& sim, const Words& words, Session*) {
  if (words[1] != "on" && words[1] != "off") return Err("usage: refuse on|off");
  std::string error;
  if (!sim.SetRefusing(words[1] == "on", &error)) return Err(error);
  return Ok();
}

Reply Help();

// `session` is the live session for the rows that need one, else null.
using Handler = Reply (*)(Simulator& sim, const Words& words, Session* session);

// One command of the control channel and of scripts.
struct CommandRow {
  const char* name;
  size_t minArgs;
  size_t maxArgs;     // kAnyArgs: the handler checks the rest
  const char* usage;  // the arguments, as in "usage: NAME USAGE"
  const char* help;
  Handler handler;
  bool needsSession = false;  // "err not connected" without a live one, before the arguments are read
  bool multiLine = false;     // lines, then "." (an error too)
};

constexpr size_t kAnyArgs = ~size_t{0};

const std::vector<CommandRow>& Commands() {
  static const std::vector<CommandRow> rows = {
      {"ping", 0, 0, "", "ok pong", [](Simulator&, const Words&, Session*) { return Ok("pong"); }},
      {"help", 0, 0, "", "this list", [](Simulator&, const Words&, Session*) { return Help(); }, false, true},
      {"state", 0, 0, "", "the live (or last) session and the simulator's counts",
       [](Simulator& sim, const Words&, Session*) { return State(sim); }},
      {"summary", 0, 0, "", "the run's figures so far, one \"key value\" line each",
       [](Simulator& sim, const Words&, Session*) { return Multi(sim.SummaryLines()); }, false, true},
      {"quit", 0, 0, "", "ok bye, then this control connection closes",
       [](Simulator&, const Words&, Session*) {
         Reply reply = Ok("bye");
         reply.closeClient = true;
         return reply;
       }},
      {"shutdown", 0, 1, "[CODE 0-255]", "the simulator exits with CODE (default 0)", Shutdown},

      {"received", 0, 1, "[TYPE|any]", "the recorded messages from the engine, oldest first", Received, false, true},
      {"last", 1, 1, "TYPE|any", "the newest recorded message of that type", Last},
      {"count", 1, 1, "TYPE|any", "messages of that type since the last clear", Count},
      {"complaints", 0, 0, "", "what the engine sent that breaks the protocol",
       [](Simulator& sim, const Words&, Session*) { return Multi(sim.GetRecorder().Complaints()); }, false, true},
      {"clear", 0, 0, "", "forget the records, counts and complaints",
       [](Simulator& sim, const Words&, Session*) {
         sim.GetRecorder().Clear();
         return Ok();
       }},

      {"wait-received", 2, 3, "TYPE|any TIMEOUT_MS [COUNT]", "ok once COUNT (1) such messages arrived", WaitReceived},
      {"wait-connected", 1, 1, "MS", "ok once a session is live",
       [](Simulator& sim, const Words& words, Session*) {
         return WaitFor(sim, words, [&] { return Live(sim) != nullptr; });
       }},
      {"wait-disconnected", 1, 1, "MS", "ok once no session is live",
       [](Simulator& sim, const Words& words, Session*) {
         return WaitFor(sim, words, [&] { return Live(sim) == nullptr; });
       }},
      {"wait-streaming", 1, 1, "MS", "ok once the live session streams",
       [](Simulator& sim, const Words& words, Session*) {
         return WaitFor(sim, words, [&] {
           auto s = Live(sim);
           return s && s->GetStatus().streaming;
         });
       }},
      {"wait-passcode", 1, 1, "MS", "ok passcode=ok|wrong once the engine answered a challenge", WaitPasscode},
      {"sleep", 1, 1, "MS", "ok after MS", Sleep},

      {"set", 1, kAnyArgs, "name|kind|id|formats|hevc|passcode|no-passcode|challenge|manual|autostream VALUE",
       "settings for the next connection (set no-passcode takes no value)",
       [](Simulator& sim, const Words& words, Session*) { return Set(sim, words); }},
      {"announce", 0, 0, "", "one multicast announcement now", Announce},
      {"announcing", 1, 1, "on|off", "the periodic announcements go on or pause (the phone leaves the network)",
       [](Simulator& sim, const Words& words, Session*) {
         if (words[1] != "on" && words[1] != "off") return Err("usage: announcing on|off");
         sim.GetAnnouncer().SetPaused(words[1] == "off");
         return Ok();
       }},

      {"status", 1, kAnyArgs, "TYPE VALUES...",
       "a status message: 16 A B | 19|22 A B C D | 20 F F F I | 21 F F F F | 24 VALUE [TEXT...] | 25 I F | "
       "5 [HEX]",
       [](Simulator& sim, const Words& words, Session*) { return Status(sim, words); }},
      {"send", 1, 2, "TYPE [HEX]", "a message of any type with the given payload", Send, true},
      {"send-raw", 1, 1, "HEX", "exactly these bytes", SendRaw, true},
      {"announcement", 0, 0, "", "the announcement message (type 1)",
       [](Simulator& sim, const Words&, Session* session) {
         return SendResult(session->SendAnnouncement(sim.Config().identity, Session::Origin::kCommand));
       },
       true},
      {"hello", 0, 0, "", "the hello (type 3)",
       [](Simulator&, const Words&, Session* session) {
         return SendResult(session->SendHello(Session::Origin::kCommand));
       },
       true},
      {"capabilities", 0, 0, "", "the capabilities (type 10) from the current settings",
       [](Simulator& sim, const Words&, Session* session) {
         const PhoneConfig config = sim.Config();
         return SendResult(session->SendCapabilities(config.formats, config.hevc, Session::Origin::kCommand));
       },
       true},
      {"challenge", 0, 0, "", "a passcode challenge (type 23)", Challenge, true},
      {"stream", 1, 1, "on|off", "start or stop the stream", Stream, true},
      {"rate", 2, 2, "video N|fps | rate audio N", "stream rates, now and for later connections", Rate, true},

      {"goodbye", 0, 1, "[close]", "stop the stream, send type 2, and with close end the connection", Goodbye, true},
      {"silence", 0, 0, "", "nothing automatic leaves; commands still send",
       [](Simulator&, const Words&, Session* session) {
         session->SetSilenced(true);
         return Ok();
       },
       true},
      {"resume", 0, 0, "", "end the silence",
       [](Simulator&, const Words&, Session* session) {
         session->SetSilenced(false);
         return Ok();
       },
       true},
      {"trickle", 0, 1, "[DELAY_MS 0-10000]", "the next message leaves one byte at a time (50 ms apart)", Trickle,
       true},
      {"oversize", 0, 2, "[LENGTH 4000001-16777215 [TYPE]]", "a bare header above the largest message",
       [](Simulator&, const Words& words, Session* session) { return BrokenHeader(words, session, true); }, true},
      {"short-header", 1, 2, "LENGTH 0-3 [TYPE]", "a bare header below its own size",
       [](Simulator&, const Words& words, Session* session) { return BrokenHeader(words, session, false); }, true},
      {"reset", 0, 0, "", "close with a reset (SO_LINGER 0)",
       [](Simulator&, const Words&, Session* session) { return session->Reset() ? Ok() : Err("not connected"); }, true},
      {"disconnect", 0, 0, "", "orderly close (FIN)",
       [](Simulator&, const Words&, Session* session) {
         session->Disconnect();
         return Ok();
       },
       true},
      {"refuse", 1, 1, "on|off", "close the session port (connections are refused) or open it again", Refuse},
      {"chaos", 0, 2, "[SEED RATE | off]",
       "hostile messages among the stream, RATE a second, now and on later connections; alone: on|off sent=N", Chaos},
      {"corrupt", 1, 2, "COUNT [SEED]", "random bytes in the payloads of the next COUNT video packets", Corrupt, true},
  };
  return rows;
}

const CommandRow* Find(const std::string& name) {
  for (const CommandRow& row : Commands()) {
    if (name == row.name) return &row;
  }
  return nullptr;
}

std::string Syntax(const CommandRow& row) {
  return *row.usage ? std::string(row.name) + " " + row.usage : std::string(row.name);
}

Reply Help() {
  std::vector<std::string> lines;
  for (const CommandRow& row : Commands()) {
    std::string line = Syntax(row);
    line.resize(std::max<size_t>(line.size() + 2, 40), ' ');
    lines.push_back(line + row.help);
  }
  return Multi(std::move(lines));
}

Reply Dispatch(Simulator& sim, const CommandRow& row, const Words& words) {
  std::shared_ptr<Session> session;
  if (row.needsSession) {
    session = Live(sim);
    if (!session) return Err("not connected");
  }
  const size_t argc = words.size() - 1;
  if (argc < row.minArgs || argc > row.maxArgs) return Err("usage: " + Syntax(row));
  return row.handler(sim, words, session.get());
}

}  // namespace

bool SplitWords(const std::string& line, std::vector<std::string>* words) {
  words->clear();
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    std::string word;
    if (line[i] == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        char c = line[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\' && i < line.size()) c = line[i++];
        word.push_back(c);
      }
      if (!closed) return false;
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') word.push_back(line[i++]);
    }
    words->push_back(std::move(word));
  }
  return true;
}

Reply Execute(Simulator& sim, const std::string& line) {
  Words words;
  if (!SplitWords(line, &words)) return Err("unterminated quote");
  if (words.empty()) return Err("empty command");
  const CommandRow* row = Find(words[0]);
  if (!row) return Err("unknown command " + words[0] + " (try help)");
  Reply reply = Dispatch(sim, *row, words);
  // Multi-line commands always end with the terminator, errors included.
  if (row->multiLine) reply.multiLine = true;
  return reply;
}

std::vector<std::string> ReplyLines(const Reply& reply) {
  std::vector<std::string> lines = reply.lines;
  if (reply.multiLine) lines.push_back(".");
  return lines;
}

}  // namespace phonesim
