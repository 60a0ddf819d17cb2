// Black-box tests of phone-sim: each case starts the program on loopback (the multicast case in
// the phone namespace of the test network), plays the engine on the session port with plain
// sockets and drives the simulator through its control channel.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "sim_process.h"
#include "wire_peer.h"

namespace simtest {
namespace {

using Clock = std::chrono::steady_clock;

const char kPhoneSim[] = PHONE_SIM_PATH;

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
  // A file the program under test writes.
  std::string Path(const std::string& name) {
    files_.push_back(path_ + "/" + name);
    return files_.back();
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
  EXPECT_EQ(ToHex(engine.ReadMessage()), ToHex(ExpectedAnnouncement(kDefaultId, 2, "Phone Sim")));
  EXPECT_EQ(ToHex(engine.ReadMessage()), "04000003");
  EXPECT_EQ(ToHex(engine.ReadMessage()),
            ToHex(ExpectedCapabilities({{640, 480, 30}, {1280, 720, 30}, {1920, 1080, 30}}, false)));
}

// The default opening, then 640x480@30 asked for: returns once the first video message is in.
void StartDefaultStream(EngineSide& engine) {
  ReadDefaultOpening(engine);
  engine.Send(FormatRequest(1, 640, 480, 30));
  engine.ReadMessageOfType(8);
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

void CheckOk(const std::string& reply) { EXPECT_TRUE(reply.compare(0, 2, "ok") == 0) << reply; }
void CheckErr(const std::string& reply) { EXPECT_TRUE(reply.compare(0, 4, "err ") == 0) << reply; }

// ---------------------------------------------------------------------------------------------
// The opening

TEST(PhoneSimOpening, AnnouncementHelloCapabilities) {
  SimProcess sim(kPhoneSim,
                 Args({"--id", "00112233-4455-6677-8899-aabbccddeeff", "--name", "Test Phone", "--kind", "7",
                       "--format", "1280x720@30", "--format", "640x480@29.97", "--format", "720x1280@60", "--hevc"}));
  EngineSide engine(sim.SessionAddress());
  const Bytes announcement = engine.ReadMessage();
  EXPECT_EQ(announcement.size(), 280u);
  EXPECT_EQ(ToHex(Bytes(announcement.begin(), announcement.begin() + 4)), "18010001");
  EXPECT_EQ(ToHex(announcement), ToHex(ExpectedAnnouncement("00112233445566778899aabbccddeeff", 7, "Test Phone")));
  EXPECT_EQ(ToHex(engine.ReadMessage()), "04000003");
  const Bytes capabilities = engine.ReadMessage();
  EXPECT_EQ(capabilities.size(), 48u);
  EXPECT_EQ(ToHex(Bytes(capabilities.begin(), capabilities.begin() + 8)), "3000000a00000100");
  EXPECT_EQ(U32(capabilities, 8), 3u);
  EXPECT_EQ(U32(capabilities, 12), 1280u);
  EXPECT_EQ(U32(capabilities, 16), 720u);
  EXPECT_EQ(U32(capabilities, 20), 0x41f00000u);  // 30.0
  EXPECT_EQ(U32(capabilities, 24), 640u);
  EXPECT_EQ(U32(capabilities, 28), 480u);
  EXPECT_EQ(U32(capabilities, 32), FloatBits(29.97f));
  EXPECT_EQ(U32(capabilities, 36), 720u);
  EXPECT_EQ(U32(capabilities, 40), 1280u);
  EXPECT_EQ(U32(capabilities, 44), 0x42700000u);  // 60.0
  // No stream before a format request.
  EXPECT_TRUE(engine.QuietFor(400));
  ControlClient control(sim.ControlAddress());
  const std::string state = control.Command("state");
  EXPECT_EQ(FieldOf(state, "connected"), "1");
  EXPECT_EQ(FieldOf(state, "streaming"), "0");
  EXPECT_EQ(FieldOf(state, "passcode"), "none");
  EXPECT_EQ(FieldOf(state, "messages_sent"), "3");
}

TEST(PhoneSimOpening, EmptyFormatListAndLongestName) {
  const std::string longName(255, 'n');
  SimProcess sim(kPhoneSim, Args({"--formats", "none", "--name", longName}));
  EngineSide engine(sim.SessionAddress());
  const Bytes announcement = engine.ReadMessage();
  EXPECT_EQ(ToHex(announcement), ToHex(ExpectedAnnouncement(kDefaultId, 2, longName)));
  EXPECT_EQ(announcement[279], 0);  // the name keeps its NUL
  EXPECT_EQ(ToHex(engine.ReadMessage()), "04000003");
  EXPECT_EQ(ToHex(engine.ReadMessage()), "0c00000a0000000000000000");
}

// ---------------------------------------------------------------------------------------------
// Passcode

TEST(PhoneSimPasscode, RightAnswerOpens) {
  // Bytes above 0x7f: the key must sign-extend them.
  const std::string passcode = "p\xc3\xa4ss\xff!";
  EXPECT_TRUE(PasscodeKey("") == 0xcbf29ce484222325ull);
  EXPECT_TRUE(PasscodeKey("a") == 0xaf63dc4c8601ec8cull);  // plain ASCII: the standard FNV-1a value
  const uint64_t challenge = 0x0123456789abcdefull;
  SimProcess sim(kPhoneSim, Args({"--passcode", passcode, "--challenge", "0x0123456789abcdef"}));
  EngineSide engine(sim.SessionAddress());
  ControlClient control(sim.ControlAddress());

  const Bytes first = engine.ReadMessage();
  EXPECT_EQ(ToHex(first), "1000001700000000efcdab8967452301");
  EXPECT_TRUE(engine.QuietFor(300));  // nothing else before the answer
  EXPECT_EQ(FieldOf(control.Command("state"), "passcode"), "pending");

  engine.Send(PasscodeAnswer(PasscodeKey(passcode) ^ challenge));
  EXPECT_EQ(ToHex(engine.ReadMessage()), ToHex(ExpectedAnnouncement(kDefaultId, 2, "Phone Sim")));
  EXPECT_EQ(ToHex(engine.ReadMessage()), "04000003");
  EXPECT_EQ(engine.ReadMessage()[3], 10);
  EXPECT_EQ(control.Command("wait-passcode 2000"), "ok passcode=ok");

  engine.Send(FormatRequest(1, 640, 480, 30));
  EXPECT_EQ(engine.ReadMessageOfType(8)[3], 8);
  EXPECT_TRUE(control.MultiCommand("complaints").empty());
}

TEST(PhoneSimPasscode, WrongAnswerClosesThenFreshChallenge) {
  SimProcess sim(kPhoneSim, Args({"--passcode", "secret"}));
  ControlClient control(sim.ControlAddress());
  uint64_t firstChallenge;
  {
    EngineSide engine(sim.SessionAddress());
    const Bytes challenge = engine.ReadMessage();
    EXPECT_EQ(ToHex(Bytes(challenge.begin(), challenge.begin() + 8)), "1000001700000000");
    firstChallenge = U64(challenge, 8);
    engine.Send(PasscodeAnswer((PasscodeKey("secret") ^ firstChallenge) ^ 1));
    uint8_t byte;
    // Closed at once, with nothing (no announcement) before the end.
    EXPECT_EQ(engine.RecvSome(&byte, 1, 3000), 0);
  }
  EXPECT_EQ(control.Command("wait-disconnected 3000"), "ok");
  const std::string state = control.Command("state");
  EXPECT_EQ(FieldOf(state, "passcode"), "wrong");
  EXPECT_EQ(FieldOf(state, "connected"), "0");

  // The engine comes back with the right key: a fresh challenge, then the opening.
  EngineSide engine(sim.SessionAddress());
  const Bytes challenge = engine.ReadMessage();
  EXPECT_EQ(challenge[3], 23);
  const uint64_t second = U64(challenge, 8);
  EXPECT_TRUE(second != firstChallenge);
  engine.Send(PasscodeAnswer(PasscodeKey("secret") ^ second));
  EXPECT_EQ(engine.ReadMessage()[3], 1);
  EXPECT_EQ(engine.ReadMessage()[3], 3);
  EXPECT_EQ(engine.ReadMessage()[3], 10);
  EXPECT_EQ(FieldOf(control.Command("state"), "sessions"), "2");
}

TEST(PhoneSimPasscode, ManualOpening) {
  SimProcess sim(kPhoneSim, Args({"--manual", "--passcode", "abc", "--challenge", "5"}));
  EngineSide engine(sim.SessionAddress());
  ControlClient control(sim.ControlAddress());
  EXPECT_TRUE(engine.QuietFor(300));  // manual: nothing on connect
  CheckOk(control.Command("announcement"));
  EXPECT_EQ(engine.ReadMessage()[3], 1);
  CheckOk(control.Command("challenge"));
  EXPECT_EQ(ToHex(engine.ReadMessage()), "10000017000000000500000000000000");
  engine.Send(PasscodeAnswer(PasscodeKey("abc") ^ 5));
  EXPECT_EQ(control.Command("wait-passcode 2000"), "ok passcode=ok");
  EXPECT_TRUE(engine.QuietFor(300));  // manual: no opening after the answer either
  CheckOk(control.Command("hello"));
  EXPECT_EQ(ToHex(engine.ReadMessage()), "04000003");
  CheckOk(control.Command("set formats 320x240@15"));
  CheckOk(control.Command("set hevc 1"));
  CheckOk(control.Command("capabilities"));
  EXPECT_EQ(ToHex(engine.ReadMessage()), ToHex(ExpectedCapabilities({{320, 240, 15}}, true)));
  // An answer with no challenge pending is a complaint, not a verdict.
  engine.Send(PasscodeAnswer(1));
  EXPECT_EQ(control.Command("wait-received 23 2000 2"), "ok");
  const auto complaints = control.MultiCommand("complaints");
  EXPECT_EQ(complaints.size(), 1u);
  EXPECT_TRUE(complaints[0].find("without a pending challenge") != std::string::npos) << complaints[0];
}

// ---------------------------------------------------------------------------------------------
// Streaming

TEST(PhoneSimStream, FixturePerCodec) {
  TempDir dir;
  Bytes big(1000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  const std::vector<Bytes> h264{{}, {1, 2, 3, 4, 5}, big};
  const std::vector<Bytes> hevc{{0xaa}, {0xbb, 0xcc}};
  const std::vector<Bytes> opus{{0xf8, 0x01}, {0xf8, 0x02, 0x03}};
  SimProcess sim(kPhoneSim, Args({"--hevc", "--h264-fixture", dir.Write("v.pkt", FixtureFile(h264)), "--hevc-fixture",
                                  dir.Write("h.pkt", FixtureFile(hevc)), "--opus-fixture",
                                  dir.Write("a.pkt", FixtureFile(opus)), "--video-rate", "50", "--audio-rate", "40"}));
  EngineSide engine(sim.SessionAddress());
  for (int i = 0; i < 3; ++i) engine.ReadMessage();
  EXPECT_TRUE(engine.QuietFor(300));

  engine.Send(FormatRequest(1, 640, 480, 30));
  const Collected got = Collect(engine, 1000);
  EXPECT_TRUE(got.other.empty());
  EXPECT_TRUE(got.video.size() >= 20 && got.video.size() <= 80) << std::to_string(got.video.size()) + " video packets";
  EXPECT_TRUE(got.audio.size() >= 15 && got.audio.size() <= 70) << std::to_string(got.audio.size()) + " audio packets";
  float previous = -1;
  for (size_t i = 0; i < got.video.size(); ++i) {
    const Bytes& message = got.video[i];
    EXPECT_EQ(U32(message, 0) & 0xffffff, message.size());
    EXPECT_EQ(ToHex(Payload(message)), ToHex(h264[i % 3]));
    const float timestamp = F32(message, 4);
    EXPECT_TRUE(timestamp > previous) << "timestamps must grow";
    previous = timestamp;
  }
  for (size_t i = 0; i < got.audio.size(); ++i) {
    const Bytes& message = got.audio[i];
    EXPECT_EQ(U32(message, 0), 0x07000000u | static_cast<uint32_t>(message.size()));
    EXPECT_EQ(U32(message, 4), i);  // sequence number
    EXPECT_EQ(ToHex(Payload(message)), ToHex(opus[i % 2]));
  }
  ControlClient control(sim.ControlAddress());
  const std::string state = control.Command("state");
  EXPECT_EQ(FieldOf(state, "streaming"), "1");
  EXPECT_EQ(FieldOf(state, "codec"), "1");
  EXPECT_EQ(FieldOf(state, "format"), "640x480@30");

  // A new request for HEVC: the HEVC packets, from the first one.
  engine.Send(FormatRequest(2, 1280, 720, 30));
  std::vector<Bytes> hevcSeen;
  const auto until = Clock::now() + std::chrono::seconds(3);
  while (hevcSeen.size() < 3 && Clock::now() < until) {
    const Bytes message = engine.ReadMessageOfType(8);
    const Bytes payload = Payload(message);
    if (payload == h264[0] || payload == h264[1] || payload == h264[2]) {
      EXPECT_TRUE(hevcSeen.empty()) << "H.264 packet after the HEVC ones began";
      continue;
    }
    hevcSeen.push_back(payload);
  }
  EXPECT_EQ(hevcSeen.size(), 3u);
  EXPECT_EQ(ToHex(hevcSeen[0]), "aa");
  EXPECT_EQ(ToHex(hevcSeen[1]), "bbcc");
  EXPECT_EQ(ToHex(hevcSeen[2]), "aa");
  EXPECT_EQ(FieldOf(control.Command("state"), "codec"), "2");
  EXPECT_TRUE(control.MultiCommand("complaints").empty());
}

TEST(PhoneSimStream, SyntheticPayloads) {
  SimProcess sim(kPhoneSim, Args({"--video-bytes", "16", "--audio-bytes", "3", "--audio-rate", "20"}));
  EngineSide engine(sim.SessionAddress());
  ReadDefaultOpening(engine);
  engine.Send(FormatRequest(1, 1280, 720, 10));  // video follows the asked rate: 10 per second
  const Collected got = Collect(engine, 1000);
  EXPECT_TRUE(got.video.size() >= 5 && got.video.size() <= 16) << std::to_string(got.video.size()) + " video packets";
  EXPECT_TRUE(got.audio.size() >= 10 && got.audio.size() <= 30) << std::to_string(got.audio.size()) + " audio packets";
  for (size_t n = 0; n < got.video.size(); ++n) {
    const Bytes payload = Payload(got.video[n]);
    EXPECT_EQ(payload.size(), 16u);
    EXPECT_EQ(U32(payload, 0), n);
    for (size_t i = 4; i < payload.size(); ++i) EXPECT_EQ(payload[i], static_cast<uint8_t>(n + i));
  }
  for (size_t n = 0; n < got.audio.size(); ++n) {
    const Bytes payload = Payload(got.audio[n]);
    EXPECT_EQ(payload.size(), 3u);
    EXPECT_EQ(payload[0], static_cast<uint8_t>(n));
    EXPECT_EQ(payload[1], static_cast<uint8_t>(n >> 8));
  }
}

TEST(PhoneSimStream, AcknowledgementChecks) {
  SimProcess sim(kPhoneSim, Args({"--video-rate", "30", "--audio-rate", "0"}));
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
  EXPECT_EQ(control.Command("wait-received 9 2000"), "ok");
  EXPECT_TRUE(control.MultiCommand("complaints").empty());
  // An acknowledgement for a picture that was never sent.
  Bytes bogus;
  PutF32(bogus, 12345.5f);
  PutF32(bogus, 0);
  PutF32(bogus, 0);
  engine.Send(Msg(9, bogus));
  EXPECT_EQ(control.Command("wait-received 9 2000 2"), "ok");
  const auto complaints = control.MultiCommand("complaints");
  EXPECT_EQ(complaints.size(), 1u);
  EXPECT_TRUE(complaints[0].find("decode acknowledgement") != std::string::npos) << complaints[0];
  // HEVC asked of a phone that offered none.
  engine.Send(FormatRequest(2, 640, 480, 30));
  EXPECT_EQ(control.Command("wait-received 11 2000 2"), "ok");
  const auto more = control.MultiCommand("complaints");
  EXPECT_EQ(more.size(), 2u);
  EXPECT_TRUE(more[1].find("HEVC") != std::string::npos) << more[1];
}

// A reader cuts a measuring window by `video_sent` and `video_last`: the count must cover exactly
// the packets up to that timestamp, printed so that it reads back as the float on the wire.
TEST(PhoneSimStream, StateNamesTheLastVideoPacketItCounts) {
  SimProcess sim(kPhoneSim, Args({"--video-rate", "50", "--audio-rate", "0"}));
  ControlClient control(sim.ControlAddress());
  EXPECT_EQ(FieldOf(control.Command("state"), "video_last"), "-");
  EngineSide engine(sim.SessionAddress());
  ReadDefaultOpening(engine);
  engine.Send(FormatRequest(1, 640, 480, 30));
  std::vector<float> times{F32(engine.ReadMessageOfType(8), 4)};
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  CheckOk(control.Command("silence"));
  try {
    for (;;) {
      const Bytes message = engine.ReadMessage(400);
      if (message[3] == 8) times.push_back(F32(message, 4));
    }
  } catch (...) {
    // Quiet: everything sent has arrived.
  }
  const std::string state = control.Command("state");
  EXPECT_EQ(FieldOf(state, "video_sent"), std::to_string(times.size()));
  EXPECT_EQ(std::strtof(FieldOf(state, "video_last").c_str(), nullptr), times.back()) << state;
  EXPECT_GT(times.size(), 5u);
}

TEST(PhoneSimStream, EndsWithConnection) {
  SimProcess sim(kPhoneSim, Args({"--video-rate", "50"}));
  ControlClient control(sim.ControlAddress());
  {
    EngineSide engine(sim.SessionAddress());
    StartDefaultStream(engine);
    EXPECT_EQ(control.Command("wait-streaming 2000"), "ok");
  }
  EXPECT_EQ(control.Command("wait-disconnected 3000"), "ok");
  const std::string before = control.Command("state");
  EXPECT_EQ(FieldOf(before, "connected"), "0");
  EXPECT_EQ(FieldOf(before, "streaming"), "0");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(FieldOf(control.Command("state"), "video_sent"), FieldOf(before, "video_sent"));

  // Back again: a new opening, and no stream until asked.
  EngineSide engine(sim.SessionAddress());
  ReadDefaultOpening(engine);
  EXPECT_TRUE(engine.QuietFor(400));
  const std::string after = control.Command("state");
  EXPECT_EQ(FieldOf(after, "connected"), "1");
  EXPECT_EQ(FieldOf(after, "sessions"), "2");
  EXPECT_EQ(FieldOf(after, "session"), "2");
  EXPECT_EQ(FieldOf(after, "streaming"), "0");
}

// ---------------------------------------------------------------------------------------------
// What the engine sends

TEST(PhoneSimRecorder, RecordsAndChecksEngineMessages) {
  SimProcess sim(kPhoneSim, Args({"--no-autostream"}));
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
  EXPECT_EQ(control.Command("wait-received any 3000 9"), "ok");
  const auto lines = control.MultiCommand("received");
  EXPECT_EQ(lines.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(FieldOf(lines[i], "type"), std::to_string(sent[i][3]));
    EXPECT_EQ(FieldOf(lines[i], "len"), std::to_string(sent[i].size()));
    EXPECT_EQ(FieldOf(lines[i], "session"), "1");
    EXPECT_EQ(FieldOf(lines[i], "hex"), ToHex(sent[i]));
  }
  const auto only16 = control.MultiCommand("received 16");
  EXPECT_EQ(only16.size(), 1u);
  EXPECT_EQ(FieldOf(only16[0], "hex"), "0c000010040000004d000000");
  EXPECT_EQ(control.Command("count 18"), "ok 1");
  EXPECT_EQ(control.Command("count any"), "ok 9");
  EXPECT_EQ(FieldOf(control.Command("last 25"), "hex"), ToHex(Msg(25, distance)));
  EXPECT_EQ(control.Command("last 19"), "err none");
  // Only the two types the engine never sends are complaints.
  const auto complaints = control.MultiCommand("complaints");
  EXPECT_EQ(complaints.size(), 2u);
  EXPECT_TRUE(complaints[0].find("type 200") != std::string::npos) << complaints[0];
  EXPECT_TRUE(complaints[1].find("type 201") != std::string::npos) << complaints[1];

  EXPECT_EQ(control.Command("clear"), "ok");
  EXPECT_TRUE(control.MultiCommand("received").empty());
  EXPECT_EQ(control.Command("count any"), "ok 0");
  const auto start = Clock::now();
  EXPECT_EQ(control.Command("wait-received 18 300"), "timeout");
  EXPECT_TRUE(ElapsedMs(start) >= 250);
  // A wait that is already satisfied by a later message.
  engine.Send(Msg(18, focus));
  EXPECT_EQ(control.Command("wait-received 18 2000"), "ok");
  // A malformed one of a known type: wrong length.
  engine.Send(Msg(17, {1, 2, 3, 4}));
  EXPECT_EQ(control.Command("wait-received 17 2000"), "ok");
  const auto malformed = control.MultiCommand("complaints");
  EXPECT_EQ(malformed.size(), 1u);
  EXPECT_TRUE(malformed[0].find("type 17 with length 8, expected 12") != std::string::npos) << malformed[0];
}

// ---------------------------------------------------------------------------------------------
// Messages sent on command

TEST(PhoneSimCommands, StatusMessages) {
  SimProcess sim(kPhoneSim, Args({}));
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
    EXPECT_TRUE(reply == "ok len=" + std::to_string(c.hex.size() / 2)) << c.command + " -> " + reply;
    EXPECT_EQ(ToHex(engine.ReadMessage()), c.hex);
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
  EXPECT_TRUE(engine.QuietFor(300));  // a refused command sends nothing
}

TEST(PhoneSimCommands, SendAndSettings) {
  SimProcess sim(kPhoneSim, Args({"--no-autostream"}));
  EngineSide engine(sim.SessionAddress());
  ControlClient control(sim.ControlAddress());
  ReadDefaultOpening(engine);
  CheckOk(control.Command("send 200 0a0b"));
  EXPECT_EQ(ToHex(engine.ReadMessage()), "060000c80a0b");
  CheckOk(control.Command("send 3"));
  EXPECT_EQ(ToHex(engine.ReadMessage()), "04000003");
  CheckOk(control.Command("send-raw 01020304ff"));
  EXPECT_EQ(ToHex(engine.ReadExact(5)), "01020304ff");
  CheckErr(control.Command("send 256"));
  CheckErr(control.Command("send 3 abc"));
  CheckErr(control.Command("send-raw"));
  CheckErr(control.Command("send-raw xyz1"));
  CheckOk(control.Command("set name \"Other Phone\""));
  CheckOk(control.Command("set kind 9"));
  CheckOk(control.Command("set id ffeeddccbbaa99887766554433221100"));
  CheckOk(control.Command("announcement"));
  EXPECT_EQ(ToHex(engine.ReadMessage()),
            ToHex(ExpectedAnnouncement("ffeeddccbbaa99887766554433221100", 9, "Other Phone")));
  CheckErr(control.Command("set kind 70000"));
  CheckErr(control.Command("set formats 1x1"));
  CheckErr(control.Command("set id 1234"));
  CheckErr(control.Command("set hevc 2"));
  // Manual streaming without a format request.
  CheckOk(control.Command("stream on"));
  EXPECT_EQ(engine.ReadMessageOfType(8)[3], 8);
  CheckOk(control.Command("stream off"));
  Drain(engine, 200);
  EXPECT_TRUE(engine.QuietFor(400));
  CheckErr(control.Command("stream maybe"));
}

// ---------------------------------------------------------------------------------------------
// Fault modes

TEST(PhoneSimFaults, Goodbye) {
  SimProcess sim(kPhoneSim, Args({"--video-rate", "50"}));
  EngineSide engine(sim.SessionAddress());
  ControlClient control(sim.ControlAddress());
  StartDefaultStream(engine);
  CheckOk(control.Command("goodbye"));
  EXPECT_EQ(ToHex(engine.ReadMessageOfType(2)), "04000002");
  // The stream stopped behind it and the connection stays open.
  EXPECT_TRUE(engine.QuietFor(500));
  EXPECT_EQ(FieldOf(control.Command("state"), "connected"), "1");
  CheckOk(control.Command("goodbye close"));
  EXPECT_EQ(ToHex(engine.ReadExact(4)), "04000002");
  EXPECT_TRUE(engine.WaitEnd(2000) == EngineSide::End::kClosed);
  EXPECT_EQ(control.Command("wait-disconnected 2000"), "ok");
}

TEST(PhoneSimFaults, Silence) {
  SimProcess sim(kPhoneSim, Args({"--video-rate", "50"}));
  EngineSide engine(sim.SessionAddress());
  ControlClient control(sim.ControlAddress());
  StartDefaultStream(engine);
  CheckOk(control.Command("silence"));
  Drain(engine, 200);
  EXPECT_TRUE(engine.QuietFor(700));
  const std::string state = control.Command("state");
  EXPECT_EQ(FieldOf(state, "silenced"), "1");
  EXPECT_EQ(FieldOf(state, "connected"), "1");
  // Asked-for messages still go.
  CheckOk(control.Command("status 19 1 2 3 4"));
  EXPECT_EQ(ToHex(engine.ReadMessage()), "1400001301000000020000000300000004000000");
  EXPECT_TRUE(engine.QuietFor(300));
  CheckOk(control.Command("resume"));
  EXPECT_EQ(engine.ReadMessageOfType(8, 2000)[3], 8);
}

// Hostile messages among the stream: well framed, of many types, at lengths around their layouts;
// the same seed gives the same ones; `chaos off` leaves the plain stream.
TEST(PhoneSimFaults, ChaosIsSeededWellFramedAndStopsOnCommand) {
  // The fixed lengths of the protocol's types, for telling "just below" and "just above".
  const std::map<int, uint32_t> layouts = {{1, 280}, {2, 4},   {3, 4},   {4, 4},    {5, 4},   {7, 8},   {8, 8},
                                           {9, 16},  {10, 12}, {11, 24}, {12, 268}, {16, 12}, {17, 12}, {18, 16},
                                           {19, 20}, {20, 20}, {21, 20}, {22, 20},  {23, 16}, {24, 12}, {25, 12}};
  const auto hostile = [](EngineSide& engine, size_t count) {
    std::vector<std::pair<int, uint32_t>> seen;
    const Clock::time_point start = Clock::now();
    while (seen.size() < count && ElapsedMs(start) < 10000) {
      const Bytes message = engine.ReadMessage(5000);
      const uint32_t length = U32(message, 0) & 0xffffff;
      EXPECT_EQ(length, message.size());
      if (message[3] == 8 && length == 2008) continue;  // the synthetic stream
      seen.emplace_back(message[3], length);
    }
    return seen;
  };
  std::vector<std::pair<int, uint32_t>> first;
  for (int run = 0; run < 2; ++run) {
    SimProcess sim(kPhoneSim, Args({"--chaos", "7:300", "--audio-rate", "0", "--video-rate", "30"}));
    EngineSide engine(sim.SessionAddress());
    ControlClient control(sim.ControlAddress());
    ReadDefaultOpening(engine);  // nothing hostile before the stream starts
    engine.Send(FormatRequest(1, 640, 480, 30));
    const auto seen = hostile(engine, 40);
    ASSERT_EQ(seen.size(), 40u);
    if (run == 1) {
      EXPECT_EQ(seen, first) << "the same seed, the same messages";
      continue;
    }
    first = seen;
    std::map<int, int> types;
    int below = 0, above = 0;
    for (const auto& [type, length] : seen) {
      ++types[type];
      const auto layout = layouts.find(type);
      if (layout == layouts.end()) continue;
      below += length + 1 == layout->second;
      above += length == layout->second + 1;
    }
    EXPECT_GE(types.size(), 10u);
    EXPECT_GT(below, 0);
    EXPECT_GT(above, 0);

    const std::string off = control.Command("chaos off");
    // The last one read may not be counted yet: the count follows the send.
    EXPECT_GE(std::atoi(off.substr(off.find("sent=") + 5).c_str()), 39) << off;
    CheckOk(control.Command("silence"));
    Drain(engine, 300);
    CheckOk(control.Command("resume"));
    for (int i = 0; i < 10; ++i) {
      const Bytes message = engine.ReadMessage(3000);
      EXPECT_EQ(message[3], 8);
      EXPECT_EQ(message.size(), 2008u);
    }
  }
}

TEST(PhoneSimFaults, Trickle) {
  SimProcess sim(kPhoneSim, Args({}));
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
    EXPECT_TRUE(n > 0) << "stream ended or stalled during the trickle";
    got.insert(got.end(), buffer, buffer + n);
    ++chunks;
  }
  const long long took = ElapsedMs(start);
  EXPECT_EQ(ToHex(got), "1400001301000000020000000300000004000000");
  EXPECT_TRUE(chunks >= 10) << std::to_string(chunks) + " reads";
  EXPECT_TRUE(took >= 19 * 40 * 8 / 10) << std::to_string(took) + " ms";
  EXPECT_EQ(control.ReadLine(), "ok len=20");
  // One message only: the next leaves whole.
  const auto again = Clock::now();
  CheckOk(control.Command("status 19 5 6 7 8"));
  EXPECT_EQ(engine.ReadMessage()[4], 5);
  EXPECT_TRUE(ElapsedMs(again) < 500);
  CheckErr(control.Command("trickle -1"));
}

TEST(PhoneSimFaults, ResetCutsTrickleShort) {
  SimProcess sim(kPhoneSim, Args({}));
  ControlClient control(sim.ControlAddress());
  ControlClient other(sim.ControlAddress());
  {
    EngineSide engine(sim.SessionAddress());
    ReadDefaultOpening(engine);
    CheckOk(control.Command("trickle 300"));
    control.SendLine("status 21 1 2 3 4");
    EXPECT_EQ(ToHex(engine.ReadExact(2, 2000)), "1400");
    // The simulator answers while a message is being trickled...
    const auto start = Clock::now();
    EXPECT_EQ(FieldOf(other.Command("state"), "connected"), "1");
    EXPECT_LT(ElapsedMs(start), 250);
    // ...and a reset cuts the message short with a reset, not an orderly close.
    EXPECT_EQ(other.Command("reset"), "ok");
    EXPECT_LT(ElapsedMs(start), 250);
    EXPECT_TRUE(engine.WaitEnd(2000) == EngineSide::End::kReset);
    EXPECT_EQ(control.ReadLine(), "err send failed");
  }
  EXPECT_EQ(control.Command("wait-disconnected 2000"), "ok");
  CheckErr(control.Command("reset"));  // nothing left to reset
  EngineSide engine(sim.SessionAddress());
  ReadDefaultOpening(engine);
}

// Reads stream messages until a header announcing more than 4,000,000 bytes; returns it.
Bytes ReadUntilOversizedHeader(EngineSide& engine) {
  const auto until = Clock::now() + std::chrono::seconds(3);
  while (Clock::now() < until) {
    Bytes header = engine.ReadExact(4);
    const uint32_t length = U32(header, 0) & 0xffffff;
    if (length > 4000000) return header;
    if (length < 4) throw Failure("short header " + ToHex(header) + " in the stream");
    engine.ReadExact(length - 4);
  }
  throw Failure("no oversized header");
}

TEST(PhoneSimFaults, BrokenHeaders) {
  SimProcess sim(kPhoneSim, Args({"--video-rate", "50"}));
  EngineSide engine(sim.SessionAddress());
  ControlClient control(sim.ControlAddress());
  StartDefaultStream(engine);
  EXPECT_EQ(control.Command("oversize"), "ok hex=01093d08");
  EXPECT_EQ(ToHex(ReadUntilOversizedHeader(engine)), "01093d08");  // 4,000,001 bytes, type 8
  EXPECT_TRUE(engine.QuietFor(500));                               // nothing after the broken header
  EXPECT_EQ(control.Command("oversize 16777215 7"), "ok hex=ffffff07");
  EXPECT_EQ(ToHex(engine.ReadExact(4)), "ffffff07");
  EXPECT_EQ(control.Command("short-header 2"), "ok hex=02000008");
  EXPECT_EQ(ToHex(engine.ReadExact(4)), "02000008");
  EXPECT_EQ(control.Command("short-header 0 3"), "ok hex=00000003");
  EXPECT_EQ(ToHex(engine.ReadExact(4)), "00000003");
  for (const char* bad : {"oversize 4000000", "oversize 16777216", "short-header 4", "short-header"}) {
    CheckErr(control.Command(bad));
  }
  EXPECT_TRUE(engine.QuietFor(200));
}

// ---------------------------------------------------------------------------------------------
// A misbehaving engine

TEST(PhoneSimSessions, EngineGarbage) {
  SimProcess sim(kPhoneSim, Args({"--no-autostream"}));
  ControlClient control(sim.ControlAddress());
  {
    EngineSide engine(sim.SessionAddress());
    ReadDefaultOpening(engine);
    engine.Send(FromHex("02000005"));  // length 2
    EXPECT_TRUE(engine.WaitEnd(2000) == EngineSide::End::kClosed);
  }
  EXPECT_EQ(control.Command("wait-disconnected 2000"), "ok");
  {
    EngineSide engine(sim.SessionAddress());
    ReadDefaultOpening(engine);
    engine.Send(FromHex("01093d08"));  // 4,000,001 bytes
    EXPECT_TRUE(engine.WaitEnd(2000) == EngineSide::End::kClosed);
  }
  EXPECT_EQ(control.Command("wait-disconnected 2000"), "ok");
  auto complaints = control.MultiCommand("complaints");
  EXPECT_EQ(complaints.size(), 2u);
  EXPECT_TRUE(complaints[0].find("below the 4 header bytes") != std::string::npos) << complaints[0];
  EXPECT_TRUE(complaints[1].find("above 4000000") != std::string::npos) << complaints[1];
  {
    // Exactly 4,000,000 bytes is a message.
    EngineSide engine(sim.SessionAddress());
    ReadDefaultOpening(engine);
    Bytes huge = Msg(8, Bytes(4000000 - 4, 0x11));
    engine.Send(huge);
    EXPECT_EQ(control.Command("wait-received 8 5000"), "ok");
    EXPECT_TRUE(engine.QuietFor(200));
    EXPECT_EQ(FieldOf(control.Command("state"), "connected"), "1");
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
  EXPECT_EQ(control.Command("ping"), "ok pong");
  EXPECT_EQ(control.Command("wait-disconnected 2000"), "ok");
  EngineSide engine(sim.SessionAddress());
  ReadDefaultOpening(engine);
}

TEST(PhoneSimSessions, SecondConnectionRefused) {
  SimProcess sim(kPhoneSim, Args({}));
  ControlClient control(sim.ControlAddress());
  {
    EngineSide first(sim.SessionAddress());
    ReadDefaultOpening(first);
    EngineSide second(sim.SessionAddress());
    uint8_t byte;
    EXPECT_EQ(second.RecvSome(&byte, 1, 3000), 0);  // closed without a word
    const std::string state = control.Command("state");
    EXPECT_EQ(FieldOf(state, "rejected"), "1");
    EXPECT_EQ(FieldOf(state, "session"), "1");
    EXPECT_TRUE(first.QuietFor(200));
  }
  // Closing and coming straight back works.
  EngineSide again(sim.SessionAddress());
  ReadDefaultOpening(again);
  EXPECT_EQ(FieldOf(control.Command("state"), "sessions"), "2");
}

// ---------------------------------------------------------------------------------------------
// Control channel, script, process

TEST(PhoneSimControl, Protocol) {
  SimProcess sim(kPhoneSim, Args({}));
  ControlClient control(sim.ControlAddress());
  EXPECT_EQ(control.Command("ping"), "ok pong");
  EXPECT_EQ(control.Command("bogus"), "err unknown command bogus (try help)");
  EXPECT_GE(control.MultiCommand("help").size(), 30u);
  // A wrong argument count, a list command's error (one line, then "."), and the connection
  // check before the arguments are read.
  EXPECT_EQ(control.Command("ping now"), "err usage: ping");
  EXPECT_EQ(control.Command("count"), "err usage: count TYPE|any");
  for (const char* command : {"received 300", "complaints all"}) {
    const auto bad = control.MultiCommand(command);
    ASSERT_EQ(bad.size(), 1u) << command;
    CheckErr(bad[0]);
  }
  EXPECT_EQ(control.Command("send"), "err not connected");
  CheckErr(control.Command("wait-received 11"));
  CheckErr(control.Command("wait-received 11 -5"));
  EXPECT_EQ(control.Command("status 19 1 2 3 4"), "err not connected");
  EXPECT_EQ(control.Command("goodbye"), "err not connected");
  CheckErr(control.Command("status 24 1 \"unterminated"));
  EXPECT_EQ(control.Command("announce"), "err announcements are off (no --announce-if)");
  // Blank lines get no reply; CR LF is fine; pipelined commands answer in order.
  control.SendRaw("\n   \nping\r\nstate\nping\n");
  EXPECT_EQ(control.ReadLine(), "ok pong");
  EXPECT_EQ(FieldOf(control.ReadLine(), "connected"), "0");
  EXPECT_EQ(control.ReadLine(), "ok pong");
  // An over-long line: one error, then business as usual.
  control.SendRaw(std::string(70000, 'a') + "\nping\n");
  CheckErr(control.ReadLine());
  EXPECT_EQ(control.ReadLine(), "ok pong");
  // A client waiting does not hold up another.
  ControlClient waiter(sim.ControlAddress());
  waiter.SendLine("wait-received 18 3000");
  const auto start = Clock::now();
  EXPECT_EQ(control.Command("ping"), "ok pong");
  EXPECT_TRUE(ElapsedMs(start) < 1000);
  EngineSide engine(sim.SessionAddress());
  Bytes focus;
  PutF32(focus, 0.5f);
  PutF32(focus, 0.5f);
  Put32(focus, 1);
  engine.Send(Msg(18, focus));
  EXPECT_EQ(waiter.ReadLine(), "ok");
  EXPECT_EQ(control.Command("quit"), "ok bye");
  EXPECT_TRUE(control.ClosedWithin(2000));
  EXPECT_EQ(waiter.Command("shutdown 3"), "ok");
  EXPECT_EQ(sim.Wait(5000), 3);
}

TEST(PhoneSimScript, RunsAndEchoes) {
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
  SimProcess sim(kPhoneSim, {"--listen", "127.0.0.1:0", "--script", script, "--once", "--video-rate", "20"});
  EXPECT_EQ(sim.ControlAddress(), "-");
  {
    EngineSide engine(sim.SessionAddress());
    ReadDefaultOpening(engine);
    engine.Send(FormatRequest(1, 640, 480, 30));
    EXPECT_EQ(ToHex(engine.ReadMessageOfType(19)), "1400001301000000020000000300000004000000");
    EXPECT_EQ(ToHex(engine.ReadMessageOfType(2)), "04000002");
    EXPECT_TRUE(engine.WaitEnd(3000) == EngineSide::End::kClosed);
  }
  EXPECT_EQ(sim.Wait(5000), 0);  // --once: the session ended, so does the simulator
  const std::string output = sim.ReadOutput(500);
  EXPECT_TRUE(output.find("> status 19 1 2 3 4\nok len=20\n") != std::string::npos) << output;
  EXPECT_TRUE(output.find("> wait-disconnected 5000\nok\n") != std::string::npos) << output;
}

TEST(PhoneSimScript, StopsAtFirstFailure) {
  TempDir dir;
  const std::string script = dir.WriteText("fails.txt", "ping\nwait-received 18 200\nping\n");
  SimProcess sim(kPhoneSim, {"--listen", "127.0.0.1:0", "--script", script});
  EXPECT_EQ(sim.Wait(5000), 1);
  const std::string output = sim.ReadOutput(500);
  EXPECT_TRUE(output == "> ping\nok pong\n> wait-received 18 200\ntimeout\n") << output;
}

TEST(PhoneSimProcess, SigtermEndsPromptly) {
  SimProcess sim(kPhoneSim, Args({"--video-rate", "50"}));
  EngineSide engine(sim.SessionAddress());
  ControlClient waiter(sim.ControlAddress());
  StartDefaultStream(engine);
  waiter.SendLine("wait-received 18 30000");  // must not hold up the exit
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto start = Clock::now();
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(5000), 0);
  EXPECT_TRUE(ElapsedMs(start) < 3000);
  EXPECT_TRUE(engine.WaitEnd(2000) == EngineSide::End::kClosed);
}

TEST(PhoneSimProcess, BadUsage) {
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
  EXPECT_TRUE(::bind(busy, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(busy, 1) == 0);
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
      // A summary that cannot be written fails the run.
      {{"--listen", "127.0.0.1:0", "--summary", "/nonexistent/summary.txt", "--exit-after", "200"}, 1, "summary"},
      {{"--listen", "127.0.0.1:0", "--h264-fixture", dir.Write("good.pkt", good), "--exit-after", "200"}, 0, ""},
  };
  for (const Case& c : cases) {
    std::string errors;
    std::vector<std::string> args = c.args;
    const int code = RunToExit(kPhoneSim, args, 5000, &errors);
    EXPECT_TRUE(code == c.code) << args[0] + ": exit " + std::to_string(code) + ", stderr: " + errors;
    EXPECT_TRUE(errors.find(c.says) != std::string::npos) << args[0] + ": stderr: " + errors;
  }
  ::close(busy);
}

TEST(PhoneSimOpening, ProbePort) {
  SimProcess sim(kPhoneSim, Args({"--probe", "127.0.0.1:0", "--id", "0102030405060708090a0b0c0d0e0f10", "--name",
                                  "Probe", "--kind", "9"}));
  EXPECT_TRUE(sim.ProbeAddress() != "-");
  for (int i = 0; i < 2; ++i) {
    EngineSide probe(sim.ProbeAddress());
    EXPECT_EQ(ToHex(probe.ReadExact(280)), ToHex(ExpectedAnnouncement("0102030405060708090a0b0c0d0e0f10", 9, "Probe")));
    EXPECT_TRUE(probe.WaitEnd(2000) == EngineSide::End::kClosed);
  }
  ControlClient control(sim.ControlAddress());
  EXPECT_EQ(FieldOf(control.Command("state"), "sessions"), "0");
}

// ---------------------------------------------------------------------------------------------
// The end-of-run summary

std::map<std::string, std::string> Figures(const std::vector<std::string>& lines) {
  std::map<std::string, std::string> figures;
  for (const std::string& line : lines) {
    const size_t space = line.find(' ');
    EXPECT_NE(space, std::string::npos) << line;
    EXPECT_TRUE(figures.emplace(line.substr(0, space), line.substr(space + 1)).second) << "twice: " << line;
  }
  return figures;
}

TEST(PhoneSimSummary, FiguresOfTheWholeRun) {
  TempDir dir;
  const std::string file = dir.Path("summary.txt");
  SimProcess sim(kPhoneSim, Args({"--passcode", "pin", "--challenge", "7", "--video-rate", "50", "--summary", file}));
  ControlClient control(sim.ControlAddress());
  {
    EngineSide wrong(sim.SessionAddress());
    wrong.ReadMessage();
    wrong.Send(PasscodeAnswer(1));
    EXPECT_TRUE(wrong.WaitEnd(3000) == EngineSide::End::kClosed);
  }
  EXPECT_EQ(control.Command("wait-disconnected 3000"), "ok");
  EngineSide engine(sim.SessionAddress());
  engine.ReadMessage();
  engine.Send(PasscodeAnswer(PasscodeKey("pin") ^ 7));
  for (int i = 0; i < 3; ++i) engine.ReadMessage();
  engine.Send(FormatRequest(1, 1280, 720, 25));
  for (float decode : {0.010f, 0.020f}) {
    const Bytes video = engine.ReadMessageOfType(8);
    Bytes ack;
    Put32(ack, U32(video, 4));
    PutF32(ack, decode);
    PutF32(ack, decode / 5);
    engine.Send(Msg(9, ack));
  }
  EXPECT_EQ(control.Command("wait-received 9 2000 2"), "ok");
  EXPECT_EQ(control.Command("clear"), "ok");  // the recorder's counts only
  CheckOk(control.Command("send-raw 0102"));
  CheckOk(control.Command("goodbye close"));
  EXPECT_EQ(control.Command("wait-disconnected 3000"), "ok");
  const std::vector<std::string> live = control.MultiCommand("summary");
  sim.Signal(SIGTERM);
  ASSERT_EQ(sim.Wait(5000), 0);

  // Nothing happened after the last session: the file says what the command said.
  std::ifstream in(file);
  std::vector<std::string> written;
  for (std::string line; std::getline(in, line);) written.push_back(line);
  EXPECT_EQ(written, live);
  auto figures = Figures(written);
  const std::map<std::string, std::string> expected{
      {"sessions", "2"},         {"rejected", "0"},          {"announcements", "0"},
      {"passcode_ok", "1"},      {"passcode_wrong", "1"},    {"format_requests", "1"},
      {"format_codec", "1"},     {"format", "1280x720@25"},  {"acks", "2"},
      {"ack_window", "2"},       {"ack_decode_ms", "15.00"}, {"ack_delivery_ms", "3.00"},
      {"received_type_23", "2"}, {"received_type_11", "1"},  {"received_type_9", "2"},
      {"sent_type_23", "2"},     {"sent_type_1", "1"},       {"sent_type_2", "1"},
      {"sent_other", "1"},       {"complaints", "0"},
  };
  for (const auto& [key, value] : expected) EXPECT_EQ(figures[key], value) << key;
  EXPECT_EQ(figures["video_packets"], figures["sent_type_8"]);
  EXPECT_GE(std::stoull(figures["video_packets"]), 2u);
  EXPECT_EQ(figures["audio_packets"], figures["sent_type_7"]);
  unsigned long long sum = 0;
  for (const auto& [key, value] : figures) {
    if (key.rfind("sent_", 0) == 0) sum += std::stoull(value);
  }
  EXPECT_EQ(std::to_string(sum), figures["messages_sent"]);
}

// ---------------------------------------------------------------------------------------------
// Multicast across the test network (phone namespace to pc namespace)

int JoinedReceiver(int family, unsigned ifIndex) {
  const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  EXPECT_TRUE(fd >= 0);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  timeval timeout{0, 200000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (family == AF_INET) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(4698);
    EXPECT_TRUE(::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0);
    ip_mreqn join{};
    ::inet_pton(AF_INET, "239.255.188.58", &join.imr_multiaddr);
    join.imr_ifindex = static_cast<int>(ifIndex);
    EXPECT_TRUE(::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0);
  } else {
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_port = htons(4698);
    EXPECT_TRUE(::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0);
    ipv6_mreq join{};
    ::inet_pton(AF_INET6, "ff02::2:d644", &join.ipv6mr_multiaddr);
    join.ipv6mr_interface = ifIndex;
    EXPECT_TRUE(::setsockopt(fd, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &join, sizeof join) == 0);
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

TEST(PhoneSimMulticast, AnnouncementsReachThePcSide) {
  const char* phoneNs = std::getenv("KAVEX_NETNS_PHONE");
  const char* phoneAddr = std::getenv("KAVEX_PHONE_ADDR");
  const char* phoneAddr6 = std::getenv("KAVEX_PHONE_ADDR6");
  const char* phoneIf = std::getenv("KAVEX_PHONE_IF");
  const char* pcIf = std::getenv("KAVEX_PC_IF");
  if (!phoneNs || !phoneAddr || !phoneAddr6 || !phoneIf || !pcIf) {
    GTEST_SKIP() << "needs the test namespaces (scripts/netns-run.sh)";
  }
  const unsigned pcIndex = ::if_nametoindex(pcIf);
  EXPECT_TRUE(pcIndex != 0);
  const int v4 = JoinedReceiver(AF_INET, pcIndex);
  const int v6 = JoinedReceiver(AF_INET6, pcIndex);
  const std::string id = "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf";
  const std::string addr = phoneAddr;
  SimProcess sim(kPhoneSim,
                 {"--listen", addr + ":0", "--control", addr + ":0", "--announce-if", phoneIf, "--announce-interval",
                  "300", "--id", id, "--name", "Net Phone"},
                 phoneNs);
  const Bytes expected = ExpectedAnnouncement(id, 2, "Net Phone");
  const Datagram first4 = Receive(v4, 3000);
  EXPECT_EQ(ToHex(first4.bytes), ToHex(expected));
  EXPECT_EQ(first4.from, addr);
  const Datagram first6 = Receive(v6, 3000);
  EXPECT_EQ(ToHex(first6.bytes), ToHex(expected));
  EXPECT_EQ(first6.from, std::string(phoneAddr6));
  // Periodic: about one every 300 ms.
  int count = 0;
  const auto start = Clock::now();
  while (ElapsedMs(start) < 1500) {
    if (!Receive(v4, 100).bytes.empty()) ++count;
  }
  EXPECT_TRUE(count >= 3 && count <= 9) << std::to_string(count) + " datagrams in 1.5 s";

  ControlClient control(sim.ControlAddress());
  CheckOk(control.Command("set name Renamed"));
  EXPECT_EQ(control.Command("announce"), "ok sent=2");
  const Bytes renamed = ExpectedAnnouncement(id, 2, "Renamed");
  bool seen4 = false;
  bool seen6 = false;
  const auto until = Clock::now() + std::chrono::seconds(2);
  while ((!seen4 || !seen6) && Clock::now() < until) {
    seen4 = seen4 || Receive(v4, 50).bytes == renamed;
    seen6 = seen6 || Receive(v6, 50).bytes == renamed;
  }
  EXPECT_TRUE(seen4 && seen6);

  // And a session across the veth pair.
  EngineSide engine(sim.SessionAddress());
  EXPECT_EQ(ToHex(engine.ReadMessage()), ToHex(renamed));
  EXPECT_EQ(FieldOf(control.Command("state"), "peer").compare(0, 10, "198.18.0.1"), 0);
  ::close(v4);
  ::close(v6);
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(5000), 0);
}

}  // namespace
}  // namespace simtest
