// Black-box tests of phone-sim: each case starts the program on loopback (the multicast case in
// the phone namespace of the test network), plays the engine on the session port with plain
// sockets and drives the simulator through its control channel.
//
//   phone_sim_tests PATH-TO-PHONE-SIM CASE
//
// Exit 0 passed, 1 failed, 77 skipped (the case needs the test namespaces).
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "sim_process.h"
#include "wire_peer.h"

namespace simtest {
namespace {

using Clock = std::chrono::steady_clock;

std::string simPath;

struct Skip {};

// ---------------------------------------------------------------------------------------------
// Helpers

long long ElapsedMs(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

std::vector<std::string> Args(std::initializer_list<std::string> extra) {
  std::vector<std::string> args{"--listen", "127.0.0.1:0", "--control", "127.0.0.1:0"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// A scratch folder removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/phone-sim-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw Failure("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    for (const auto& file : files_) ::unlink(file.c_str());
    ::rmdir(path_.c_str());
  }
  std::string Write(const std::string& name, const Bytes& bytes) {
    const std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    files_.push_back(file);
    return file;
  }
  std::string WriteText(const std::string& name, const std::string& text) {
    return Write(name, Bytes(text.begin(), text.end()));
  }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

// The packet file format, written independently of the simulator's reader.
Bytes FixtureFile(const std::vector<Bytes>& packets) {
  Bytes out{'P', 'S', 'I', 'M', 'P', 'K', 'T', '1'};
  for (const Bytes& packet : packets) {
    Put32(out, static_cast<uint32_t>(packet.size()));
    out.insert(out.end(), packet.begin(), packet.end());
  }
  return out;
}

// 64-bit FNV-1a with every byte sign-extended, the key a passcode stands for.
uint64_t PasscodeKey(const std::string& passcode) {
  uint64_t key = 0xcbf29ce484222325ull;
  for (unsigned char byte : passcode) {
    key ^= static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(byte)));
    key *= 0x100000001b3ull;
  }
  return key;
}

Bytes PasscodeAnswer(uint64_t value) {
  Bytes payload;
  Put32(payload, 0);
  Put64(payload, value);
  return Msg(23, payload);
}

Bytes FormatRequest(uint32_t codec, uint32_t width, uint32_t height, float fps) {
  Bytes payload;
  Put32(payload, 1);
  Put32(payload, codec);
  Put32(payload, width);
  Put32(payload, height);
  PutF32(payload, fps);
  return Msg(11, payload);
}

Bytes Payload(const Bytes& message) { return Bytes(message.begin() + 8, message.end()); }

// The 280-byte announcement block as it must look.
Bytes ExpectedAnnouncement(const std::string& idHex, uint16_t kind, const std::string& name) {
  Bytes out = FromHex("18010001");
  const Bytes id = FromHex(idHex);
  out.insert(out.end(), id.begin(), id.end());
  out.push_back(static_cast<uint8_t>(kind));
  out.push_back(static_cast<uint8_t>(kind >> 8));
  out.push_back(0);
  out.push_back(0);
  out.insert(out.end(), name.begin(), name.end());
  out.resize(280, 0);
  return out;
}

struct Format {
  uint32_t width, height;
  float fps;
};

Bytes ExpectedCapabilities(const std::vector<Format>& formats, bool hevc) {
  Bytes payload{0, 0, static_cast<uint8_t>(hevc ? 1 : 0), 0};
  Put32(payload, static_cast<uint32_t>(formats.size()));
  for (const Format& f : formats) {
    Put32(payload, f.width);
    Put32(payload, f.height);
    PutF32(payload, f.fps);
  }
  return Msg(10, payload);
}

const char kDefaultId[] = "70686f6e652d73696d00000000000001";

void ReadDefaultOpening(EngineSide& engine) {
  CHECK_EQ(ToHex(engine.ReadMessage()), ToHex(ExpectedAnnouncement(kDefaultId, 2, "Phone Sim")));
  CHECK_EQ(ToHex(engine.ReadMessage()), "04000003");
  CHECK_EQ(ToHex(engine.ReadMessage()),
           ToHex(ExpectedCapabilities({{640, 480, 30}, {1280, 720, 30}, {1920, 1080, 30}}, false)));
}

// Reads stream messages for a while and sorts them.
struct Collected {
  std::vector<Bytes> video;
  std::vector<Bytes> audio;
  std::vector<Bytes> other;
};

Collected Collect(EngineSide& engine, int ms) {
  Collected out;
  const auto until = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < until) {
    uint8_t probe;
    (void)probe;
    Bytes message;
    try {
      message = engine.ReadMessage(static_cast<int>(std::max<long long>(1, -ElapsedMs(until))));
    } catch (const Failure&) {
      break;  // time is up
    }
    if (message[3] == 8) {
      out.video.push_back(message);
    } else if (message[3] == 7) {
      out.audio.push_back(message);
    } else {
      out.other.push_back(message);
    }
  }
  return out;
}

// Drops whatever arrives for ms.
void Drain(EngineSide& engine, int ms) {
  uint8_t buffer[65536];
  const auto until = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < until) {
    if (engine.RecvSome(buffer, sizeof buffer, 20) == 0) return;
  }
}

void CheckOk(const std::string& reply) { CHECK_MSG(reply.compare(0, 2, "ok") == 0, reply); }
void CheckErr(const std::string& reply) { CHECK_MSG(reply.compare(0, 4, "err ") == 0, reply); }

// ---------------------------------------------------------------------------------------------
// The opening

void Opening() {
  SimProcess sim(simPath, Args({"--id", "00112233-4455-6677-8899-aabbccddeeff", "--name", "Test Phone",
                                "--kind", "7", "--format", "1280x720@30", "--format", "640x480@29.97",
                                "--format", "720x1280@60", "--hevc"}));
  EngineSide engine(sim.SessionAddress());
  const Bytes announcement = engine.ReadMessage();
  CHECK_EQ(announcement.size(), 280u);
  CHECK_EQ(ToHex(Bytes(announcement.begin(), announcement.begin() + 4)), "18010001");
  CHECK_EQ(ToHex(announcement),
           ToHex(ExpectedAnnouncement("00112233445566778899aabbccddeeff", 7, "Test Phone")));
  CHECK_EQ(ToHex(engine.ReadMessage()), "04000003");
  const Bytes capabilities = engine.ReadMessage();
  CHECK_EQ(capabilities.size(), 48u);
  CHECK_EQ(ToHex(Bytes(capabilities.begin(), capabilities.begin() + 8)), "3000000a00000100");
  CHECK_EQ(U32(capabilities, 8), 3u);
  CHECK_EQ(U32(capabilities, 12), 1280u);
  CHECK_EQ(U32(capabilities, 16), 720u);
  CHECK_EQ(U32(capabilities, 20), 0x41f00000u);  // 30.0
  CHECK_EQ(U32(capabilities, 24), 640u);
  CHECK_EQ(U32(capabilities, 28), 480u);
  CHECK_EQ(U32(capabilities, 32), FloatBits(29.97f));
  CHECK_EQ(U32(capabilities, 36), 720u);
  CHECK_EQ(U32(capabilities, 40), 1280u);
  CHECK_EQ(U32(capabilities, 44), 0x42700000u);  // 60.0
  // No stream before a format request.
  CHECK(engine.QuietFor(400));
  ControlClient control(sim.ControlAddress());
  const std::string state = control.Command("state");
  CHECK_EQ(FieldOf(state, "connected"), "1");
  CHECK_EQ(FieldOf(state, "streaming"), "0");
  CHECK_EQ(FieldOf(state, "passcode"), "none");
  CHECK_EQ(FieldOf(state, "messages_sent"), "3");
}

void OpeningWithoutFormats() {
  const std::string longName(255, 'n');
  SimProcess sim(simPath, Args({"--formats", "none", "--name", longName}));
  EngineSide engine(sim.SessionAddress());
  const Bytes announcement = engine.ReadMessage();
  CHECK_EQ(ToHex(announcement), ToHex(ExpectedAnnouncement(kDefaultId, 2, longName)));
  CHECK_EQ(announcement[279], 0);  // the name keeps its NUL
  CHECK_EQ(ToHex(engine.ReadMessage()), "04000003");
  CHECK_EQ(ToHex(engine.ReadMessage()), "0c00000a0000000000000000");
}

// ---------------------------------------------------------------------------------------------
// Passcode

void PasscodeRightAnswer() {
  // Bytes above 0x7f: the key must sign-extend them.
  const std::string passcode = "p\xc3\xa4ss\xff!";
  CHECK(PasscodeKey("") == 0xcbf29ce484222325ull);
  CHECK(PasscodeKey("a") == 0xaf63dc4c8601ec8cull);  // plain ASCII: the standard FNV-1a value
  const uint64_t challenge = 0x0123456789abcdefull;
  SimProcess sim(simPath, Args({"--passcode", passcode, "--challenge", "0x0123456789abcdef"}));
  EngineSide engine(sim.SessionAddress());
  ControlClient control(sim.ControlAddress());

  const Bytes first = engine.ReadMessage();
  CHECK_EQ(ToHex(first), "1000001700000000efcdab8967452301");
  CHECK(engine.QuietFor(300));  // nothing else before the answer
  CHECK_EQ(FieldOf(control.Command("state"), "passcode"), "pending");

  engine.Send(PasscodeAnswer(PasscodeKey(passcode) ^ challenge));
  CHECK_EQ(ToHex(engine.ReadMessage()), ToHex(ExpectedAnnouncement(kDefaultId, 2, "Phone Sim")));
  CHECK_EQ(ToHex(engine.ReadMessage()), "04000003");
  CHECK_EQ(engine.ReadMessage()[3], 10);
  CHECK_EQ(control.Command("wait-passcode 2000"), "ok passcode=ok");

  engine.Send(FormatRequest(1, 640, 480, 30));
  CHECK_EQ(engine.ReadMessageOfType(8)[3], 8);
  CHECK(control.MultiCommand("complaints").empty());
}

void PasscodeWrongAnswer() {
  SimProcess sim(simPath, Args({"--passcode", "secret"}));
  ControlClient control(sim.ControlAddress());
  uint64_t firstChallenge;
  {
    EngineSide engine(sim.SessionAddress());
    const Bytes challenge = engine.ReadMessage();
    CHECK_EQ(ToHex(Bytes(challenge.begin(), challenge.begin() + 8)), "1000001700000000");
    firstChallenge = U64(challenge, 8);
    engine.Send(PasscodeAnswer((PasscodeKey("secret") ^ firstChallenge) ^ 1));
    uint8_t byte;
    // Closed at once, with nothing (no announcement) before the end.
    CHECK_EQ(engine.RecvSome(&byte, 1, 3000), 0);
  }
  CHECK_EQ(control.Command("wait-disconnected 3000"), "ok");
  const std::string state = control.Command("state");
  CHECK_EQ(FieldOf(state, "passcode"), "wrong");
  CHECK_EQ(FieldOf(state, "connected"), "0");

  // The engine comes back with the right key: a fresh challenge, then the opening.
  EngineSide engine(sim.SessionAddress());
  const Bytes challenge = engine.ReadMessage();
  CHECK_EQ(challenge[3], 23);
  const uint64_t second = U64(challenge, 8);
  CHECK(second != firstChallenge);
  engine.Send(PasscodeAnswer(PasscodeKey("secret") ^ second));
  CHECK_EQ(engine.ReadMessage()[3], 1);
  CHECK_EQ(engine.ReadMessage()[3], 3);
  CHECK_EQ(engine.ReadMessage()[3], 10);
  CHECK_EQ(FieldOf(control.Command("state"), "sessions"), "2");
}

void PasscodeManualChallenge() {
  SimProcess sim(simPath, Args({"--manual", "--passcode", "abc", "--challenge", "5"}));
  EngineSide engine(sim.SessionAddress());
  ControlClient control(sim.ControlAddress());
  CHECK(engine.QuietFor(300));  // manual: nothing on connect
  CheckOk(control.Command("announcement"));
  CHECK_EQ(engine.ReadMessage()[3], 1);
  CheckOk(control.Command("challenge"));
  CHECK_EQ(ToHex(engine.ReadMessage()), "10000017000000000500000000000000");
  engine.Send(PasscodeAnswer(PasscodeKey("abc") ^ 5));
  CHECK_EQ(control.Command("wait-passcode 2000"), "ok passcode=ok");
  CHECK(engine.QuietFor(300));  // manual: no opening after the answer either
  CheckOk(control.Command("hello"));
  CHECK_EQ(ToHex(engine.ReadMessage()), "04000003");
  CheckOk(control.Command("set formats 320x240@15"));
  CheckOk(control.Command("set hevc 1"));
  CheckOk(control.Command("capabilities"));
  CHECK_EQ(ToHex(engine.ReadMessage()), ToHex(ExpectedCapabilities({{320, 240, 15}}, true)));
  // An answer with no challenge pending is a complaint, not a verdict.
  engine.Send(PasscodeAnswer(1));
  CHECK_EQ(control.Command("wait-received 23 2000 2"), "ok");
  const auto complaints = control.MultiCommand("complaints");
  CHECK_EQ(complaints.size(), 1u);
  CHECK_MSG(complaints[0].find("without a pending challenge") != std::string::npos, complaints[0]);
}

// ---------------------------------------------------------------------------------------------
// Streaming

void StreamingFromFixtures() {
  TempDir dir;
  Bytes big(1000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  const std::vector<Bytes> h264{{}, {1, 2, 3, 4, 5}, big};
  const std::vector<Bytes> hevc{{0xaa}, {0xbb, 0xcc}};
  const std::vector<Bytes> opus{{0xf8, 0x01}, {0xf8, 0x02, 0x03}};
  SimProcess sim(simPath,
                 Args({"--hevc", "--h264-fixture", dir.Write("v.pkt", FixtureFile(h264)), "--hevc-fixture",
                       dir.Write("h.pkt", FixtureFile(hevc)), "--opus-fixture",
                       dir.Write("a.pkt", FixtureFile(opus)), "--video-rate", "50", "--audio-rate", "40"}));
  EngineSide engine(sim.SessionAddress());
  for (int i = 0; i < 3; ++i) engine.ReadMessage();
  CHECK(engine.QuietFor(300));

  engine.Send(FormatRequest(1, 640, 480, 30));
  const Collected got = Collect(engine, 1000);
  CHECK(got.other.empty());
  CHECK_MSG(got.video.size() >= 20 && got.video.size() <= 80,
            std::to_string(got.video.size()) + " video packets");
  CHECK_MSG(got.audio.size() >= 15 && got.audio.size() <= 70,
            std::to_string(got.audio.size()) + " audio packets");
  float previous = -1;
  for (size_t i = 0; i < got.video.size(); ++i) {
    const Bytes& message = got.video[i];
    CHECK_EQ(U32(message, 0) & 0xffffff, message.size());
    CHECK_EQ(ToHex(Payload(message)), ToHex(h264[i % 3]));
    const float timestamp = F32(message, 4);
    CHECK_MSG(timestamp > previous, "timestamps must grow");
    previous = timestamp;
  }
  for (size_t i = 0; i < got.audio.size(); ++i) {
    const Bytes& message = got.audio[i];
    CHECK_EQ(U32(message, 0), 0x07000000u | static_cast<uint32_t>(message.size()));
    CHECK_EQ(U32(message, 4), i);  // sequence number
    CHECK_EQ(ToHex(Payload(message)), ToHex(opus[i % 2]));
  }
  ControlClient control(sim.ControlAddress());
  const std::string state = control.Command("state");
  CHECK_EQ(FieldOf(state, "streaming"), "1");
  CHECK_EQ(FieldOf(state, "codec"), "1");
  CHECK_EQ(FieldOf(state, "format"), "640x480@30");

  // A new request for HEVC: the HEVC packets, from the first one.
  engine.Send(FormatRequest(2, 1280, 720, 30));
  std::vector<Bytes> hevcSeen;
  const auto until = Clock::now() + std::chrono::seconds(3);
  while (hevcSeen.size() < 3 && Clock::now() < until) {
    const Bytes message = engine.ReadMessageOfType(8);
    const Bytes payload = Payload(message);
    if (payload == h264[0] || payload == h264[1] || payload == h264[2]) {
      CHECK_MSG(hevcSeen.empty(), "H.264 packet after the HEVC ones began");
      continue;
    }
    hevcSeen.push_back(payload);
  }
  CHECK_EQ(hevcSeen.size(), 3u);
  CHECK_EQ(ToHex(hevcSeen[0]), "aa");
  CHECK_EQ(ToHex(hevcSeen[1]), "bbcc");
  CHECK_EQ(ToHex(hevcSeen[2]), "aa");
  CHECK_EQ(FieldOf(control.Command("state"), "codec"), "2");
  CHECK(control.MultiCommand("complaints").empty());
}

void StreamingSynthetic() {
  SimProcess sim(simPath, Args({"--video-bytes", "16", "--audio-bytes", "3", "--audio-rate", "20"}));
  EngineSide engine(sim.SessionAddress());
  ReadDefaultOpening(engine);
  engine.Send(FormatRequest(1, 1280, 720, 10));  // video follows the asked rate: 10 per second
  const Collected got = Collect(engine, 1000);
  CHECK_MSG(got.video.size() >= 5 && got.video.size() <= 16,
            std::to_string(got.video.size()) + " video packets");
  CHECK_MSG(got.audio.size() >= 10 && got.audio.size() <= 30,
            std::to_string(got.audio.size()) + " audio packets");
  for (size_t n = 0; n < got.video.size(); ++n) {
    const Bytes payload = Payload(got.video[n]);
    CHECK_EQ(payload.size(), 16u);
    CHECK_EQ(U32(payload, 0), n);
    for (size_t i = 4; i < payload.size(); ++i) CHECK_EQ(payload[i], static_cast<uint8_t>(n + i));
  }
  for (size_t n = 0; n < got.audio.size(); ++n) {
    const Bytes payload = Payload(got.audio[n]);
    CHECK_EQ(payload.size(), 3u);
    CHECK_EQ(payload[0], static_cast<uint8_t>(n));
    CHECK_EQ(payload[1], static_cast<uint8_t>(n >> 8));
  }
}

void DecodeAckChecks() {
  SimProcess sim(simPath, Args({"--video-rate", "30", "--audio-rate", "0"}));
  EngineSide engine(sim.SessionAddress());
  ControlClient control(sim.ControlAddress());
  ReadDefaultOpening(engine);
  engine.Send(FormatRequest(1, 640, 480, 30));
  const Bytes video = engine.ReadMessageOfType(8);
  Bytes ack;
  Put32(ack, U32(video, 4));
  PutF32(ack, 0.01f);
  PutF32(ack, 0.002f);
  engine.Send(Msg(9, ack));
  CHECK_EQ(control.Command("wait-received 9 2000"), "ok");
  CHECK(control.MultiCommand("complaints").empty());
  // An acknowledgement for a picture that was never sent.
  Bytes bogus;
  PutF32(bogus, 12345.5f);
  PutF32(bogus, 0);
  PutF32(bogus, 0);
  engine.Send(Msg(9, bogus));
  CHECK_EQ(control.Command("wait-received 9 2000 2"), "ok");
  const auto complaints = control.MultiCommand("complaints");
  CHECK_EQ(complaints.size(), 1u);
  CHECK_MSG(complaints[0].find("decode acknowledgement") != std::string::npos, complaints[0]);
  // HEVC asked of a phone that offered none.
  engine.Send(FormatRequest(2, 640, 480, 30));
  CHECK_EQ(control.Command("wait-received 11 2000 2"), "ok");
  const auto more = control.MultiCommand("complaints");
  CHECK_EQ(more.size(), 2u);
  CHECK_MSG(more[1].find("HEVC") != std::string::npos, more[1]);
}

void StreamEndsWithConnection() {
  SimProcess sim(simPath, Args({"--video-rate", "50"}));
  ControlClient control(sim.ControlAddress());
  {
    EngineSide engine(sim.SessionAddress());
    ReadDefaultOpening(engine);
    engine.Send(FormatRequest(1, 640, 480, 30));
    engine.ReadMessageOfType(8);
    CHECK_EQ(control.Command("wait-streaming 2000"), "ok");
  }
  CHECK_EQ(control.Command("wait-disconnected 3000"), "ok");
  const std::string before = control.Command("state");
  CHECK_EQ(FieldOf(before, "connected"), "0");
  CHECK_EQ(FieldOf(before, "streaming"), "0");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  CHECK_EQ(FieldOf(control.Command("state"), "video_sent"), FieldOf(before, "video_sent"));

  // Back again: a new opening, and no stream until asked.
  EngineSide engine(sim.SessionAddress());
  ReadDefaultOpening(engine);
  CHECK(engine.QuietFor(400));
  const std::string after = control.Command("state");
  CHECK_EQ(FieldOf(after, "connected"), "1");
  CHECK_EQ(FieldOf(after, "sessions"), "2");
  CHECK_EQ(FieldOf(after, "session"), "2");
  CHECK_EQ(FieldOf(after, "streaming"), "0");
}

// ---------------------------------------------------------------------------------------------
// What the engine sends

void Recording() {
  SimProcess sim(simPath, Args({"--no-autostream"}));
  EngineSide engine(sim.SessionAddress());
  ControlClient control(sim.ControlAddress());
  ReadDefaultOpening(engine);

  Bytes text(256, 0);
  std::memcpy(text.data(), "we:so:96", 8);
  Bytes report;
  Put32(report, 12);
  Put32(report, 14);
  report.insert(report.end(), text.begin(), text.end());
  Bytes focus;
  PutF32(focus, 0.25f);
  PutF32(focus, 0.75f);
  Put32(focus, 255);
  Bytes distance;
  Put32(distance, 2);
  PutF32(distance, 1.5f);
  Bytes control16;
  Put32(control16, 4);
  Put32(control16, 77);
  Bytes answer17;
  Put32(answer17, 12);
  Put32(answer17, 14);
  const std::vector<Bytes> sent{
      Msg(12, report),
      Msg(4),
      Msg(17, answer17),
      FormatRequest(1, 1280, 720, 30),
      Msg(16, control16),
      Msg(18, focus),
      Msg(25, distance),
      Msg(200, {1, 2, 3}),
      Msg(201, Bytes(100000, 0x5a)),
  };
  for (const Bytes& message : sent) {
    if (message[3] == 16) {
      // In two pieces: the simulator must put them together.
      engine.Send(Bytes(message.begin(), message.begin() + 6));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      engine.Send(Bytes(message.begin() + 6, message.end()));
    } else {
      engine.Send(message);
    }
  }
  CHECK_EQ(control.Command("wait-received any 3000 9"), "ok");
  const auto lines = control.MultiCommand("received");
  CHECK_EQ(lines.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    CHECK_EQ(FieldOf(lines[i], "type"), std::to_string(sent[i][3]));
    CHECK_EQ(FieldOf(lines[i], "len"), std::to_string(sent[i].size()));
    CHECK_EQ(FieldOf(lines[i], "session"), "1");
    CHECK_EQ(FieldOf(lines[i], "hex"), ToHex(sent[i]));
  }
  const auto only16 = control.MultiCommand("received 16");
  CHECK_EQ(only16.size(), 1u);
  CHECK_EQ(FieldOf(only16[0], "hex"), "0c000010040000004d000000");
  CHECK_EQ(control.Command("count 18"), "ok 1");
  CHECK_EQ(control.Command("count any"), "ok 9");
  CHECK_EQ(FieldOf(control.Command("last 25"), "hex"), ToHex(Msg(25, distance)));
  CHECK_EQ(control.Command("last 19"), "err none");
  // Only the two types the engine never sends are complaints.
  const auto complaints = control.MultiCommand("complaints");
  CHECK_EQ(complaints.size(), 2u);
  CHECK_MSG(complaints[0].find("type 200") != std::string::npos, complaints[0]);
  CHECK_MSG(complaints[1].find("type 201") != std::string::npos, complaints[1]);

  CHECK_EQ(control.Command("clear"), "ok");
  CHECK(control.MultiCommand("received").empty());
  CHECK_EQ(control.Command("count any"), "ok 0");
  const auto start = Clock::now();
  CHECK_EQ(control.Command("wait-received 18 300"), "timeout");
  CHECK(ElapsedMs(start) >= 250);
  // A wait that is already satisfied by a later message.
  engine.Send(Msg(18, focus));
  CHECK_EQ(control.Command("wait-received 18 2000"), "ok");
  // A malformed one of a known type: wrong length.
  engine.Send(Msg(17, {1, 2, 3, 4}));
  CHECK_EQ(control.Command("wait-received 17 2000"), "ok");
  const auto malformed = control.MultiCommand("complaints");
  CHECK_EQ(malformed.size(), 1u);
  CHECK_MSG(malformed[0].find("type 17 with length 8, expected 12") != std::string::npos, malformed[0]);
}

// ---------------------------------------------------------------------------------------------
// Messages sent on command

void StatusMessages() {
  SimProcess sim(simPath, Args({}));
  EngineSide engine(sim.SessionAddress());
  ControlClient control(sim.ControlAddress());
  ReadDefaultOpening(engine);

  struct Case {
    std::string command;
    std::string hex;
  };
  Bytes t20;
  PutF32(t20, 1.5f);
  PutF32(t20, -2.25f);
  PutF32(t20, 0.0f);
  Put32(t20, static_cast<uint32_t>(-7));
  Bytes t21;
  PutF32(t21, 0.1f);
  PutF32(t21, 0.2f);
  PutF32(t21, 0.3f);
  PutF32(t21, 0.4f);
  Bytes t24;
  Put32(t24, 2);
  Put32(t24, 42);
  Bytes first(256, 0);
  std::memcpy(first.data(), "hello world", 11);
  Bytes second(256, 0);
  second[0] = 'b';
  t24.insert(t24.end(), first.begin(), first.end());
  t24.insert(t24.end(), second.begin(), second.end());
  Bytes t25;
  Put32(t25, static_cast<uint32_t>(-3));
  PutF32(t25, 2.5f);
  const std::vector<Case> cases{
      {"status 16 4 -1", "0c00001004000000ffffffff"},
      {"status 19 1 -2 3 2147483647", "1400001301000000feffffff03000000ffffff7f"},
      {"status 20 1.5 -2.25 0 -7", ToHex(Msg(20, t20))},
      {"status 21 0.1 0.2 0.3 0.4", ToHex(Msg(21, t21))},
      {"status 22 0x10 -2147483648 0 4294967295",
       "140000161000000000000080"
       "00000000ffffffff"},
      {"status 24 42 \"hello world\" b", ToHex(Msg(24, t24))},
      {"status 24 -1", "0c00001800000000ffffffff"},
      {"status 25 -3 2.5", ToHex(Msg(25, t25))},
      {"status 5", "04000005"},
      {"status 5 0102", "060000050102"},
  };
  for (const Case& c : cases) {
    const std::string reply = control.Command(c.command);
    CHECK_MSG(reply == "ok len=" + std::to_string(c.hex.size() / 2), c.command + " -> " + reply);
    CHECK_EQ(ToHex(engine.ReadMessage()), c.hex);
  }
  const std::vector<std::string> bad{
      "status 19 1 2 3",
      "status 20 a b c d",
      "status 17 1",
      "status 24",
      "status 16 1 4294967296",
      "status 21 1 2 3 4x",
      "status 300 1 2",
      "status 24 1 " + std::string(256, 'x'),
      "status",
      "status 5 zz",
  };
  for (const std::string& command : bad) CheckErr(control.Command(command));
  CHECK(engine.QuietFor(300));  // a refused command sends nothing
}

void SendCommands() {
  SimProcess sim(simPath, Args({"--no-autostream"}));
  EngineSide engine(sim.SessionAddress());
  ControlClient control(sim.ControlAddress());
  ReadDefaultOpening(engine);
  CheckOk(control.Command("send 200 0a0b"));
  CHECK_EQ(ToHex(engine.ReadMessage()), "060000c80a0b");
  CheckOk(control.Command("send 3"));
  CHECK_EQ(ToHex(engine.ReadMessage()), "04000003");
  CheckOk(control.Command("send-raw 01020304ff"));
  CHECK_EQ(ToHex(engine.ReadExact(5)), "01020304ff");
  CheckErr(control.Command("send 256"));
  CheckErr(control.Command("send 3 abc"));
  CheckErr(control.Command("send-raw"));
  CheckErr(control.Command("send-raw xyz1"));
  CheckOk(control.Command("set name \"Other Phone\""));
  CheckOk(control.Command("set kind 9"));
  CheckOk(control.Command("set id ffeeddccbbaa99887766554433221100"));
  CheckOk(control.Command("announcement"));
  CHECK_EQ(ToHex(engine.ReadMessage()),
           ToHex(ExpectedAnnouncement("ffeeddccbbaa99887766554433221100", 9, "Other Phone")));
  CheckErr(control.Command("set kind 70000"));
  CheckErr(control.Command("set formats 1x1"));
  CheckErr(control.Command("set id 1234"));
  CheckErr(control.Command("set hevc 2"));
  // Manual streaming without a format request.
  CheckOk(control.Command("stream on"));
  CHECK_EQ(engine.ReadMessageOfType(8)[3], 8);
  CheckOk(control.Command("stream off"));
  Drain(engine, 200);
  CHECK(engine.QuietFor(400));
  CheckErr(control.Command("stream maybe"));
}

// ---------------------------------------------------------------------------------------------
// Fault modes

void FaultGoodbye() {
  SimProcess sim(simPath, Args({"--video-rate", "50"}));
  EngineSide engine(sim.SessionAddress());
  ControlClient control(sim.ControlAddress());
  ReadDefaultOpening(engine);
  engine.Send(FormatRequest(1, 640, 480, 30));
  engine.ReadMessageOfType(8);
  CheckOk(control.Command("goodbye"));
  CHECK_EQ(ToHex(engine.ReadMessageOfType(2)), "04000002");
  // The stream stopped behind it and the connection stays open.
  CHECK(engine.QuietFor(500));
  CHECK_EQ(FieldOf(control.Command("state"), "connected"), "1");
  CheckOk(control.Command("goodbye close"));
  CHECK_EQ(ToHex(engine.ReadExact(4)), "04000002");
  CHECK(engine.WaitEnd(2000) == EngineSide::End::kClosed);
  CHECK_EQ(control.Command("wait-disconnected 2000"), "ok");
}

void FaultSilence() {
  SimProcess sim(simPath, Args({"--video-rate", "50"}));
  EngineSide engine(sim.SessionAddress());
  ControlClient control(sim.ControlAddress());
  ReadDefaultOpening(engine);
  engine.Send(FormatRequest(1, 640, 480, 30));
  engine.ReadMessageOfType(8);
  CheckOk(control.Command("silence"));
  Drain(engine, 200);
  CHECK(engine.QuietFor(700));
  const std::string state = control.Command("state");
  CHECK_EQ(FieldOf(state, "silenced"), "1");
  CHECK_EQ(FieldOf(state, "connected"), "1");
  // Asked-for messages still go.
  CheckOk(control.Command("status 19 1 2 3 4"));
  CHECK_EQ(ToHex(engine.ReadMessage()), "1400001301000000020000000300000004000000");
  CHECK(engine.QuietFor(300));
  CheckOk(control.Command("resume"));
  CHECK_EQ(engine.ReadMessageOfType(8, 2000)[3], 8);
}

void FaultTrickle() {
  SimProcess sim(simPath, Args({}));
  EngineSide engine(sim.SessionAddress());
  ControlClient control(sim.ControlAddress());
  ReadDefaultOpening(engine);
  CheckOk(control.Command("trickle 40"));
  control.SendLine("status 19 1 2 3 4");  // the reply comes once the last byte is out
  const auto start = Clock::now();
  Bytes got;
  int chunks = 0;
  while (got.size() < 20) {
    uint8_t buffer[64];
    const int n = engine.RecvSome(buffer, sizeof buffer, 3000);
    CHECK_MSG(n > 0, "stream ended or stalled during the trickle");
    got.insert(got.end(), buffer, buffer + n);
    ++chunks;
  }
  const long long took = ElapsedMs(start);
  CHECK_EQ(ToHex(got), "1400001301000000020000000300000004000000");
  CHECK_MSG(chunks >= 10, std::to_string(chunks) + " reads");
  CHECK_MSG(took >= 19 * 40 * 8 / 10, std::to_string(took) + " ms");
  CHECK_EQ(control.ReadLine(), "ok len=20");
  // One message only: the next leaves whole.
  const auto again = Clock::now();
  CheckOk(control.Command("status 19 5 6 7 8"));
  CHECK_EQ(engine.ReadMessage()[4], 5);
  CHECK(ElapsedMs(again) < 500);
  CheckErr(control.Command("trickle -1"));
}

void FaultTrickleThenReset() {
  SimProcess sim(simPath, Args({}));
  EngineSide engine(sim.SessionAddress());
  ControlClient control(sim.ControlAddress());
  ControlClient other(sim.ControlAddress());
  ReadDefaultOpening(engine);
  CheckOk(control.Command("trickle 300"));
  control.SendLine("status 21 1 2 3 4");
  CHECK_EQ(ToHex(engine.ReadExact(2, 2000)), "1400");
  // The simulator answers while a message is being trickled...
  const auto start = Clock::now();
  CHECK_EQ(FieldOf(other.Command("state"), "connected"), "1");
  CHECK(ElapsedMs(start) < 250);
  // ...and a reset cuts the message short with a reset, not an orderly close.
  CHECK_EQ(other.Command("reset"), "ok");
  CHECK(ElapsedMs(start) < 250);
  CHECK(engine.WaitEnd(2000) == EngineSide::End::kReset);
  CHECK_EQ(control.ReadLine(), "err send failed");
}

// Reads stream messages until a header announcing more than 4,000,000 bytes; returns it.
Bytes ReadUntilOversizedHeader(EngineSide& engine) {
  const auto until = Clock::now() + std::chrono::seconds(3);
  while (Clock::now() < until) {
    Bytes header = engine.ReadExact(4);
    const uint32_t length = U32(header, 0) & 0xffffff;
    if (length > 4000000) return header;
    CHECK(length >= 4);
    engine.ReadExact(length - 4);
  }
  throw Failure("no oversized header");
}

void FaultOversize() {
  SimProcess sim(simPath, Args({"--video-rate", "50"}));
  EngineSide engine(sim.SessionAddress());
  ControlClient control(sim.ControlAddress());
  ReadDefaultOpening(engine);
  engine.Send(FormatRequest(1, 640, 480, 30));
  engine.ReadMessageOfType(8);
  CHECK_EQ(control.Command("oversize"), "ok hex=01093d08");
  CHECK_EQ(ToHex(ReadUntilOversizedHeader(engine)), "01093d08");  // 4,000,001 bytes, type 8
  CHECK(engine.QuietFor(500));                                    // nothing after the broken header
  CHECK_EQ(control.Command("oversize 16777215 7"), "ok hex=ffffff07");
  CHECK_EQ(ToHex(engine.ReadExact(4)), "ffffff07");
  CheckErr(control.Command("oversize 4000000"));
  CheckErr(control.Command("oversize 16777216"));
  CHECK(engine.QuietFor(200));
}

void FaultShortHeader() {
  SimProcess sim(simPath, Args({}));
  EngineSide engine(sim.SessionAddress());
  ControlClient control(sim.ControlAddress());
  ReadDefaultOpening(engine);
  CHECK_EQ(control.Command("short-header 2"), "ok hex=02000008");
  CHECK_EQ(ToHex(engine.ReadExact(4)), "02000008");
  CHECK_EQ(control.Command("short-header 0 3"), "ok hex=00000003");
  CHECK_EQ(ToHex(engine.ReadExact(4)), "00000003");
  CheckErr(control.Command("short-header 4"));
  CheckErr(control.Command("short-header"));
  CHECK(engine.QuietFor(300));
}

void FaultReset() {
  SimProcess sim(simPath, Args({}));
  ControlClient control(sim.ControlAddress());
  {
    EngineSide engine(sim.SessionAddress());
    ReadDefaultOpening(engine);
    CHECK_EQ(control.Command("reset"), "ok");
    CHECK(engine.WaitEnd(2000) == EngineSide::End::kReset);
  }
  CHECK_EQ(control.Command("wait-disconnected 2000"), "ok");
  CheckErr(control.Command("reset"));  // nothing left to reset
  EngineSide engine(sim.SessionAddress());
  ReadDefaultOpening(engine);
}

// ---------------------------------------------------------------------------------------------
// A misbehaving engine

void EngineGarbage() {
  SimProcess sim(simPath, Args({"--no-autostream"}));
  ControlClient control(sim.ControlAddress());
  {
    EngineSide engine(sim.SessionAddress());
    ReadDefaultOpening(engine);
    engine.Send(FromHex("02000005"));  // length 2
    CHECK(engine.WaitEnd(2000) == EngineSide::End::kClosed);
  }
  CHECK_EQ(control.Command("wait-disconnected 2000"), "ok");
  {
    EngineSide engine(sim.SessionAddress());
    ReadDefaultOpening(engine);
    engine.Send(FromHex("01093d08"));  // 4,000,001 bytes
    CHECK(engine.WaitEnd(2000) == EngineSide::End::kClosed);
  }
  CHECK_EQ(control.Command("wait-disconnected 2000"), "ok");
  auto complaints = control.MultiCommand("complaints");
  CHECK_EQ(complaints.size(), 2u);
  CHECK_MSG(complaints[0].find("below the 4 header bytes") != std::string::npos, complaints[0]);
  CHECK_MSG(complaints[1].find("above 4000000") != std::string::npos, complaints[1]);
  {
    // Exactly 4,000,000 bytes is a message.
    EngineSide engine(sim.SessionAddress());
    ReadDefaultOpening(engine);
    Bytes huge = Msg(8, Bytes(4000000 - 4, 0x11));
    engine.Send(huge);
    CHECK_EQ(control.Command("wait-received 8 5000"), "ok");
    CHECK(engine.QuietFor(200));
    CHECK_EQ(FieldOf(control.Command("state"), "connected"), "1");
    // Then noise: whatever it says, the simulator stays up.
    Bytes noise(4096);
    uint32_t seed = 12345;
    for (auto& byte : noise) {
      seed = seed * 1103515245u + 12345u;
      byte = static_cast<uint8_t>(seed >> 16);
    }
    engine.Send(noise);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  CHECK_EQ(control.Command("ping"), "ok pong");
  CHECK_EQ(control.Command("wait-disconnected 2000"), "ok");
  EngineSide engine(sim.SessionAddress());
  ReadDefaultOpening(engine);
}

void SecondConnectionRefused() {
  SimProcess sim(simPath, Args({}));
  ControlClient control(sim.ControlAddress());
  {
    EngineSide first(sim.SessionAddress());
    ReadDefaultOpening(first);
    EngineSide second(sim.SessionAddress());
    uint8_t byte;
    CHECK_EQ(second.RecvSome(&byte, 1, 3000), 0);  // closed without a word
    const std::string state = control.Command("state");
    CHECK_EQ(FieldOf(state, "rejected"), "1");
    CHECK_EQ(FieldOf(state, "session"), "1");
    CHECK(first.QuietFor(200));
  }
  // Closing and coming straight back works.
  EngineSide again(sim.SessionAddress());
  ReadDefaultOpening(again);
  CHECK_EQ(FieldOf(control.Command("state"), "sessions"), "2");
}

// ---------------------------------------------------------------------------------------------
// Control channel, script, process

void ControlProtocol() {
  SimProcess sim(simPath, Args({}));
  ControlClient control(sim.ControlAddress());
  CHECK_EQ(control.Command("ping"), "ok pong");
  CheckErr(control.Command("bogus"));
  CHECK(control.MultiCommand("help").size() >= 5);
  const auto bad = control.MultiCommand("received 300");
  CHECK_EQ(bad.size(), 1u);
  CheckErr(bad[0]);
  CheckErr(control.Command("wait-received 11"));
  CheckErr(control.Command("wait-received 11 -5"));
  CHECK_EQ(control.Command("status 19 1 2 3 4"), "err not connected");
  CHECK_EQ(control.Command("goodbye"), "err not connected");
  CheckErr(control.Command("status 24 1 \"unterminated"));
  CHECK_EQ(control.Command("announce"), "err announcements are off (no --announce-if)");
  // Blank lines get no reply; CR LF is fine; pipelined commands answer in order.
  control.SendRaw("\n   \nping\r\nstate\nping\n");
  CHECK_EQ(control.ReadLine(), "ok pong");
  CHECK_EQ(FieldOf(control.ReadLine(), "connected"), "0");
  CHECK_EQ(control.ReadLine(), "ok pong");
  // An over-long line: one error, then business as usual.
  control.SendRaw(std::string(70000, 'a') + "\nping\n");
  CheckErr(control.ReadLine());
  CHECK_EQ(control.ReadLine(), "ok pong");
  // A client waiting does not hold up another.
  ControlClient waiter(sim.ControlAddress());
  waiter.SendLine("wait-received 18 3000");
  const auto start = Clock::now();
  CHECK_EQ(control.Command("ping"), "ok pong");
  CHECK(ElapsedMs(start) < 1000);
  EngineSide engine(sim.SessionAddress());
  Bytes focus;
  PutF32(focus, 0.5f);
  PutF32(focus, 0.5f);
  Put32(focus, 1);
  engine.Send(Msg(18, focus));
  CHECK_EQ(waiter.ReadLine(), "ok");
  CHECK_EQ(control.Command("quit"), "ok bye");
  CHECK(control.ClosedWithin(2000));
  CHECK_EQ(waiter.Command("shutdown 3"), "ok");
  CHECK_EQ(sim.Wait(5000), 3);
}

void Script() {
  TempDir dir;
  const std::string script = dir.WriteText("scenario.txt",
                                           "# the engine connects and asks for a format\n"
                                           "wait-connected 5000\n"
                                           "wait-received 11 5000\n"
                                           "wait-streaming 2000\n"
                                           "\n"
                                           "status 19 1 2 3 4\n"
                                           "sleep 100\n"
                                           "stream off\n"
                                           "goodbye close\n"
                                           "wait-disconnected 5000\n");
  SimProcess sim(simPath, {"--listen", "127.0.0.1:0", "--script", script, "--once", "--video-rate", "20"});
  CHECK_EQ(sim.ControlAddress(), "-");
  {
    EngineSide engine(sim.SessionAddress());
    ReadDefaultOpening(engine);
    engine.Send(FormatRequest(1, 640, 480, 30));
    CHECK_EQ(ToHex(engine.ReadMessageOfType(19)), "1400001301000000020000000300000004000000");
    CHECK_EQ(ToHex(engine.ReadMessageOfType(2)), "04000002");
    CHECK(engine.WaitEnd(3000) == EngineSide::End::kClosed);
  }
  CHECK_EQ(sim.Wait(5000), 0);  // --once: the session ended, so does the simulator
  const std::string output = sim.ReadOutput(500);
  CHECK_MSG(output.find("> status 19 1 2 3 4\nok len=20\n") != std::string::npos, output);
  CHECK_MSG(output.find("> wait-disconnected 5000\nok\n") != std::string::npos, output);
}

void ScriptFailure() {
  TempDir dir;
  const std::string script = dir.WriteText("fails.txt", "ping\nwait-received 18 200\nping\n");
  SimProcess sim(simPath, {"--listen", "127.0.0.1:0", "--script", script});
  CHECK_EQ(sim.Wait(5000), 1);
  const std::string output = sim.ReadOutput(500);
  CHECK_MSG(output == "> ping\nok pong\n> wait-received 18 200\ntimeout\n", output);
}

void Sigterm() {
  SimProcess sim(simPath, Args({"--video-rate", "50"}));
  EngineSide engine(sim.SessionAddress());
  ControlClient waiter(sim.ControlAddress());
  ReadDefaultOpening(engine);
  engine.Send(FormatRequest(1, 640, 480, 30));
  engine.ReadMessageOfType(8);
  waiter.SendLine("wait-received 18 30000");  // must not hold up the exit
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto start = Clock::now();
  sim.Signal(SIGTERM);
  CHECK_EQ(sim.Wait(5000), 0);
  CHECK(ElapsedMs(start) < 3000);
  CHECK(engine.WaitEnd(2000) == EngineSide::End::kClosed);
}

void BadUsage() {
  TempDir dir;
  const Bytes good = FixtureFile({{1, 2, 3}});
  Bytes truncated = FixtureFile({{1, 2, 3}});
  truncated.resize(truncated.size() - 1);
  Bytes tooBig{'P', 'S', 'I', 'M', 'P', 'K', 'T', '1'};
  Put32(tooBig, 3999993);
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string says;
  };
  const int busy = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  CHECK(::bind(busy, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(busy, 1) == 0);
  ::getsockname(busy, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string busyPort = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  const std::vector<Case> cases{
      {{"--help"}, 0, ""},
      {{"--bogus"}, 2, "unknown option"},
      {{"--format", "640x480"}, 2, "bad format"},
      {{"--format", "640x480@0"}, 2, "bad format"},
      {{"--id", "1234"}, 2, "32 hex digits"},
      {{"--kind", "65536"}, 2, "--kind"},
      {{"--name", std::string(256, 'x')}, 2, "255"},
      {{"--listen", "127.0.0.1:99999"}, 2, "bad port"},
      {{"--listen", "localhost:1"}, 2, "bad address"},
      {{"--listen", busyPort}, 2, "bind"},
      {{"--h264-fixture", "/nonexistent/file"}, 2, "cannot open"},
      {{"--opus-fixture", dir.WriteText("magic.pkt", "NOTMAGIC")}, 2, "PSIMPKT1"},
      {{"--opus-fixture", dir.Write("cut.pkt", truncated)}, 2, "cut short"},
      {{"--opus-fixture", dir.Write("big.pkt", tooBig)}, 2, "3999993"},
      {{"--opus-fixture", dir.Write("empty.pkt", FixtureFile({}))}, 2, "no packet"},
      {{"--announce-if", "nonexistent0"}, 2, "no interface"},
      {{"--video-rate", "-1"}, 2, "rate"},
      {{"--listen", "127.0.0.1:0", "--h264-fixture", dir.Write("good.pkt", good), "--exit-after", "200"},
       0,
       ""},
  };
  for (const Case& c : cases) {
    std::string errors;
    std::vector<std::string> args = c.args;
    const int code = RunToExit(simPath, args, 5000, &errors);
    CHECK_MSG(code == c.code, args[0] + ": exit " + std::to_string(code) + ", stderr: " + errors);
    CHECK_MSG(errors.find(c.says) != std::string::npos, args[0] + ": stderr: " + errors);
  }
  ::close(busy);
}

void ProbePort() {
  SimProcess sim(simPath, Args({"--probe", "127.0.0.1:0", "--id", "0102030405060708090a0b0c0d0e0f10",
                                "--name", "Probe", "--kind", "9"}));
  CHECK(sim.ProbeAddress() != "-");
  for (int i = 0; i < 2; ++i) {
    EngineSide probe(sim.ProbeAddress());
    CHECK_EQ(ToHex(probe.ReadExact(280)),
             ToHex(ExpectedAnnouncement("0102030405060708090a0b0c0d0e0f10", 9, "Probe")));
    CHECK(probe.WaitEnd(2000) == EngineSide::End::kClosed);
  }
  ControlClient control(sim.ControlAddress());
  CHECK_EQ(FieldOf(control.Command("state"), "sessions"), "0");
}

// ---------------------------------------------------------------------------------------------
// Multicast across the test network (phone namespace to pc namespace)

int JoinedReceiver(int family, unsigned ifIndex) {
  const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  CHECK(fd >= 0);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  timeval timeout{0, 200000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (family == AF_INET) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(4698);
    CHECK(::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0);
    ip_mreqn join{};
    ::inet_pton(AF_INET, "239.255.188.58", &join.imr_multiaddr);
    join.imr_ifindex = static_cast<int>(ifIndex);
    CHECK(::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0);
  } else {
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_port = htons(4698);
    CHECK(::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0);
    ipv6_mreq join{};
    ::inet_pton(AF_INET6, "ff02::2:d644", &join.ipv6mr_multiaddr);
    join.ipv6mr_interface = ifIndex;
    CHECK(::setsockopt(fd, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &join, sizeof join) == 0);
  }
  return fd;
}

struct Datagram {
  Bytes bytes;
  std::string from;
};

// Next datagram within the time (empty bytes when none).
Datagram Receive(int fd, int timeoutMs) {
  const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < until) {
    uint8_t buffer[1024];
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    const ssize_t got = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0) continue;
    char text[INET6_ADDRSTRLEN] = "?";
    if (from.ss_family == AF_INET) {
      ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&from)->sin_addr, text, sizeof text);
    } else {
      ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&from)->sin6_addr, text, sizeof text);
    }
    return {Bytes(buffer, buffer + got), text};
  }
  return {};
}

void MulticastAnnouncements() {
  const char* phoneNs = std::getenv("KAVEX_NETNS_PHONE");
  const char* phoneAddr = std::getenv("KAVEX_PHONE_ADDR");
  const char* phoneAddr6 = std::getenv("KAVEX_PHONE_ADDR6");
  const char* phoneIf = std::getenv("KAVEX_PHONE_IF");
  const char* pcIf = std::getenv("KAVEX_PC_IF");
  if (!phoneNs || !phoneAddr || !phoneAddr6 || !phoneIf || !pcIf) {
    std::fprintf(stderr, "skipped: needs the test namespaces (scripts/netns-run.sh)\n");
    throw Skip{};
  }
  const unsigned pcIndex = ::if_nametoindex(pcIf);
  CHECK(pcIndex != 0);
  const int v4 = JoinedReceiver(AF_INET, pcIndex);
  const int v6 = JoinedReceiver(AF_INET6, pcIndex);
  const std::string id = "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf";
  const std::string addr = phoneAddr;
  SimProcess sim(simPath,
                 {"--listen", addr + ":0", "--control", addr + ":0", "--announce-if", phoneIf,
                  "--announce-interval", "300", "--id", id, "--name", "Net Phone"},
                 phoneNs);
  const Bytes expected = ExpectedAnnouncement(id, 2, "Net Phone");
  const Datagram first4 = Receive(v4, 3000);
  CHECK_EQ(ToHex(first4.bytes), ToHex(expected));
  CHECK_EQ(first4.from, addr);
  const Datagram first6 = Receive(v6, 3000);
  CHECK_EQ(ToHex(first6.bytes), ToHex(expected));
  CHECK_EQ(first6.from, std::string(phoneAddr6));
  // Periodic: about one every 300 ms.
  int count = 0;
  const auto start = Clock::now();
  while (ElapsedMs(start) < 1500) {
    if (!Receive(v4, 100).bytes.empty()) ++count;
  }
  CHECK_MSG(count >= 3 && count <= 9, std::to_string(count) + " datagrams in 1.5 s");

  ControlClient control(sim.ControlAddress());
  CheckOk(control.Command("set name Renamed"));
  CHECK_EQ(control.Command("announce"), "ok sent=2");
  const Bytes renamed = ExpectedAnnouncement(id, 2, "Renamed");
  bool seen4 = false;
  bool seen6 = false;
  const auto until = Clock::now() + std::chrono::seconds(2);
  while ((!seen4 || !seen6) && Clock::now() < until) {
    seen4 = seen4 || Receive(v4, 50).bytes == renamed;
    seen6 = seen6 || Receive(v6, 50).bytes == renamed;
  }
  CHECK(seen4 && seen6);

  // And a session across the veth pair.
  EngineSide engine(sim.SessionAddress());
  CHECK_EQ(ToHex(engine.ReadMessage()), ToHex(renamed));
  CHECK_EQ(FieldOf(control.Command("state"), "peer").compare(0, 10, "198.18.0.1"), 0);
  ::close(v4);
  ::close(v6);
  sim.Signal(SIGTERM);
  CHECK_EQ(sim.Wait(5000), 0);
}

const std::map<std::string, std::function<void()>>& Cases() {
  static const std::map<std::string, std::function<void()>> cases{
      {"opening", Opening},
      {"opening_without_formats", OpeningWithoutFormats},
      {"passcode_right_answer", PasscodeRightAnswer},
      {"passcode_wrong_answer", PasscodeWrongAnswer},
      {"passcode_manual_challenge", PasscodeManualChallenge},
      {"streaming_from_fixtures", StreamingFromFixtures},
      {"streaming_synthetic", StreamingSynthetic},
      {"decode_ack_checks", DecodeAckChecks},
      {"stream_ends_with_connection", StreamEndsWithConnection},
      {"recording", Recording},
      {"status_messages", StatusMessages},
      {"send_commands", SendCommands},
      {"fault_goodbye", FaultGoodbye},
      {"fault_silence", FaultSilence},
      {"fault_trickle", FaultTrickle},
      {"fault_trickle_then_reset", FaultTrickleThenReset},
      {"fault_oversize", FaultOversize},
      {"fault_short_header", FaultShortHeader},
      {"fault_reset", FaultReset},
      {"engine_garbage", EngineGarbage},
      {"second_connection_refused", SecondConnectionRefused},
      {"control_protocol", ControlProtocol},
      {"script", Script},
      {"script_failure", ScriptFailure},
      {"sigterm", Sigterm},
      {"bad_usage", BadUsage},
      {"probe_port", ProbePort},
      {"multicast_announcements", MulticastAnnouncements},
  };
  return cases;
}

}  // namespace
}  // namespace simtest

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc != 3) {
    std::fprintf(stderr, "usage: phone_sim_tests PATH-TO-PHONE-SIM CASE|all\n");
    return 2;
  }
  simtest::simPath = argv[1];
  const std::string wanted = argv[2];
  int failed = 0;
  int run = 0;
  for (const auto& [name, body] : simtest::Cases()) {
    if (wanted != "all" && wanted != name) continue;
    ++run;
    simtest::EndFailures().clear();
    try {
      body();
      if (!simtest::EndFailures().empty()) throw simtest::Failure(simtest::EndFailures().front());
      std::printf("PASS %s\n", name.c_str());
    } catch (const simtest::Skip&) {
      std::printf("SKIP %s\n", name.c_str());
      if (wanted != "all") return 77;
    } catch (const std::exception& e) {
      std::printf("FAIL %s\n%s\n", name.c_str(), e.what());
      ++failed;
    }
    std::fflush(stdout);
  }
  if (run == 0) {
    std::fprintf(stderr, "no case named %s\n", wanted.c_str());
    return 2;
  }
  return failed == 0 ? 0 : 1;
}
