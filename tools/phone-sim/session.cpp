#include "session.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "log.h"
#include "socket_io.h"
#include "tcp.h"

namespace phonesim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 100;
constexpr int kSendTimeoutSeconds = 10;

std::string Hex32(uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08x", value);
  return buffer;
}

uint32_t FloatBits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// What the engine may send, with the total length each type always has.
int ExpectedLength(uint8_t type) {
  switch (type) {
    case wire::kHelloAnswer:
      return 4;
    case wire::kDecodeAck:
      return 16;
    case wire::kFormatRequest:
      return 24;
    case wire::kErrorReport:
      return 268;
    case wire::kControl:
      return 12;
    case wire::kCapabilitiesAnswer:
      return 12;
    case wire::kFocus:
      return 16;
    case wire::kPasscode:
      return 16;
    case wire::kFocusDistance:
      return 12;
    default:
      return -1;
  }
}

}  // namespace

const char* PasscodeText(Session::Passcode state) {
  switch (state) {
    case Session::Passcode::kNone:
      return "none";
    case Session::Passcode::kPending:
      return "pending";
    case Session::Passcode::kAccepted:
      return "ok";
    case Session::Passcode::kRejected:
      return "wrong";
  }
  return "?";
}

Session::Session(simsock::Socket socket, uint32_t number, PhoneConfig config, Recorder& recorder, RunTally& tally,
                 std::function<void()> onChange)
    : number_(number),
      start_(Clock::now()),
      config_(std::move(config)),
      recorder_(recorder),
      tally_(tally),
      onChange_(std::move(onChange)),
      socket_(std::move(socket)),
      fd_(socket_.Get()),
      videoRate_(config_.videoRate),
      audioRate_(config_.audioRate),
      syntheticVideo_(PacketSource::Synthetic(config_.videoBytes)),
      syntheticAudio_(PacketSource::Synthetic(config_.audioBytes)) {
  if (config_.chaos.on) SetChaos(config_.chaos);
  const simsock::Endpoint peer = simsock::PeerEndpoint(fd_);
  if (!peer.host.empty()) peer_ = simsock::EndpointText(peer);
  const int one = 1;
  // Trickled bytes must leave one segment each.
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval sendTimeout{kSendTimeoutSeconds, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
}

Session::~Session() { Join(); }

void Session::Start() {
  reader_ = std::thread([this] { ReaderMain(); });
  streamer_ = std::thread([this] { StreamerMain(); });
}

void Session::End() {
  if (joined_) return;
  stopping_ = true;
  // The descriptor stays valid until Join, so shutting it down here cannot hit another socket.
  ::shutdown(fd_, SHUT_RDWR);
  { std::lock_guard<std::mutex> lock(stateMutex_); }
  streamWake_.notify_all();
  { std::lock_guard<std::mutex> pause(trickleMutex_); }
  trickleWake_.notify_all();
}

void Session::Join() {
  if (joined_) return;
  End();
  if (reader_.joinable()) reader_.join();
  if (streamer_.joinable()) streamer_.join();
  {
    std::lock_guard<std::mutex> lock(sendMutex_);
    broken_ = true;
    socket_.Close();
  }
  joined_ = true;
}

void Session::Changed() {
  if (onChange_) onChange_();
}

void Session::Complain(const std::string& text) {
  LogInfo("session " + std::to_string(number_) + ": " + text);
  recorder_.Complain(number_, text);
  tally_.Complaint();
}

Session::Status Session::GetStatus() const {
  Status status;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    status.passcode = passcode_;
    status.streaming = streaming_;
    status.silenced = silenced_;
    status.codec = codec_;
    status.format = format_;
    status.videoSent = videoSent_;
    status.lastVideoTimestamp = lastVideoTimestamp_;
    status.audioSent = audioSent_;
    status.chaos = chaos_;
    status.chaosSent = chaosSent_;
  }
  status.messagesSent = messagesSent_;
  status.open = !ended_ && !stopping_;
  return status;
}

// ---------------------------------------------------------------------------------------------
// Sending

bool Session::Send(const std::vector<uint8_t>& bytes, Origin origin) {
  std::unique_lock<std::mutex> lock(sendMutex_);
  if (broken_ || stopping_) return false;
  if (origin != Origin::kCommand) {
    // Checked under the send lock: once `silence`, `goodbye` or a broken header has been sent,
    // no automatic message can slip in behind it.
    std::lock_guard<std::mutex> stateLock(stateMutex_);
    if (silenced_ || (origin != Origin::kAuto && !streaming_)) return false;
  }
  bool ok = true;
  bool interrupted = false;
  if (trickleMs_ >= 0) {
    const auto delay = std::chrono::milliseconds(trickleMs_);
    trickleMs_ = -1;
    for (size_t i = 0; i < bytes.size() && ok; ++i) {
      ok = simsock::SendAll(fd_, &bytes[i], 1);
      if (!ok || i + 1 == bytes.size()) break;
      std::unique_lock<std::mutex> pause(trickleMutex_);
      trickleWake_.wait_for(pause, delay, [this] { return stopping_ || interrupt_; });
      if (stopping_ || interrupt_) {
        // Cut short by a reset or a close: the message stays unfinished on purpose.
        ok = false;
        interrupted = true;
      }
    }
  } else {
    ok = simsock::SendAll(fd_, bytes.data(), bytes.size());
  }
  if (interrupted) return false;
  if (!ok) {
    if (!stopping_) LogInfo("session " + std::to_string(number_) + ": send failed: " + strerror(errno));
    broken_ = true;
    stopping_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    lock.unlock();
    { std::lock_guard<std::mutex> stateLock(stateMutex_); }
    streamWake_.notify_all();
    return false;
  }
  ++messagesSent_;
  tally_.Sent(bytes, origin == Origin::kStream);
  return true;
}

void Session::InterruptTrickle() {
  interrupt_ = true;
  { std::lock_guard<std::mutex> pause(trickleMutex_); }
  trickleWake_.notify_all();
}

bool Session::SendAnnouncement(const wire::Identity& identity, Origin origin) {
  return Send(wire::Announcement(identity), origin);
}

bool Session::SendHello(Origin origin) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    helloSent_ = true;
  }
  return Send(wire::Message(wire::kHello), origin);
}

bool Session::SendCapabilities(const std::vector<wire::VideoFormat>& formats, bool hevc, Origin origin) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    capabilitiesSent_ = true;
    hevcAdvertised_ = hevc;
  }
  return Send(wire::Capabilities(formats, hevc), origin);
}

bool Session::SendOpening() {
  return SendAnnouncement(config_.identity) && SendHello() && SendCapabilities(config_.formats, config_.hevc);
}

bool Session::SendChallenge(const std::string& passcode, bool openAfter, Origin origin) {
  uint64_t challenge = config_.challenge;
  if (!config_.fixedChallenge) {
    // Different on every challenge; no need for anything stronger in a simulator.
    const uint64_t now = static_cast<uint64_t>(Clock::now().time_since_epoch().count());
    challenge = (now * 0x9e3779b97f4a7c15ull) ^ (static_cast<uint64_t>(number_) << 32) ^ 0x5bd1e995ull;
  }
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    passcode_ = Passcode::kPending;
    expectedAnswer_ = wire::PasscodeKey(passcode) ^ challenge;
    openAfterPasscode_ = openAfter;
  }
  Changed();
  return Send(wire::Challenge(challenge), origin);
}

void Session::SetStreaming(bool on) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    streaming_ = on;
    streamParamsChanged_ = true;
  }
  streamWake_.notify_all();
  Changed();
}

void Session::SetRates(double videoRate, double audioRate) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    videoRate_ = videoRate;
    audioRate_ = audioRate;
    streamParamsChanged_ = true;
  }
  streamWake_.notify_all();
}

void Session::SetSilenced(bool silenced) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    silenced_ = silenced;
    streamParamsChanged_ = true;
  }
  streamWake_.notify_all();
  Changed();
}

void Session::SetChaos(const ChaosSettings& chaos) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    chaos_ = chaos;
    chaosSource_ = chaos.on ? std::make_unique<ChaosSource>(chaos.seed) : nullptr;
    streamParamsChanged_ = true;
  }
  streamWake_.notify_all();
}

void Session::CorruptVideo(uint32_t count, uint64_t seed) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  corruptLeft_ = count;
  corruptRandom_.seed(seed);
}

void Session::ArmTrickle(int delayMs) {
  std::lock_guard<std::mutex> lock(sendMutex_);
  trickleMs_ = delayMs < 0 ? 0 : delayMs;
}

void Session::Disconnect() {
  InterruptTrickle();
  {
    std::lock_guard<std::mutex> lock(sendMutex_);
    interrupt_ = false;
    if (!broken_) ::shutdown(fd_, SHUT_RDWR);
    broken_ = true;
  }
  stopping_ = true;
  { std::lock_guard<std::mutex> lock(stateMutex_); }
  streamWake_.notify_all();
}

bool Session::Reset() {
  InterruptTrickle();
  std::lock_guard<std::mutex> lock(sendMutex_);
  interrupt_ = false;
  if (broken_ || stopping_) return false;
  const linger abortive{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  // Replacing the socket behind the descriptor closes it (a reset, with linger 0) while the
  // number stays taken until Join; the reader then sees an error and ends.
  const int placeholder = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (placeholder < 0) return false;
  const int rc = ::dup2(placeholder, fd_);
  ::close(placeholder);
  if (rc < 0) return false;
  broken_ = true;
  stopping_ = true;
  { std::lock_guard<std::mutex> stateLock(stateMutex_); }
  streamWake_.notify_all();
  return true;
}

// ---------------------------------------------------------------------------------------------
// Receiving

void Session::ReaderMain() {
  if (!config_.manual) {
    if (config_.passcodeSet) {
      SendChallenge(config_.passcode, true);
    } else {
      SendOpening();
    }
  }
  ReadLoop();
  stopping_ = true;
  { std::lock_guard<std::mutex> pause(trickleMutex_); }
  trickleWake_.notify_all();
  {
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (!broken_) ::shutdown(fd_, SHUT_RDWR);
    broken_ = true;
  }
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    streaming_ = false;
  }
  streamWake_.notify_all();
  ThreadDone();
}

void Session::ThreadDone() {
  if (--threadsRunning_ != 0) return;
  ended_ = true;
  LogInfo("session " + std::to_string(number_) + " ended");
  Changed();
}

void Session::ReadLoop() {
  const int fd = fd_;
  uint8_t header[4];
  size_t held = 0;
  uint32_t length = 0;
  std::vector<uint8_t> message;
  while (!stopping_) {
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, kPollMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      LogInfo("session " + std::to_string(number_) + ": poll: " + strerror(errno));
      return;
    }
    if (ready == 0) continue;
    ssize_t got;
    if (held < 4) {
      got = ::recv(fd, header + held, 4 - held, 0);
    } else {
      got = ::recv(fd, message.data() + held, length - held, 0);
    }
    if (got == 0) {
      LogInfo("session " + std::to_string(number_) + ": the engine closed the connection");
      return;
    }
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      if (!stopping_) LogInfo("session " + std::to_string(number_) + ": receive: " + strerror(errno));
      return;
    }
    held += static_cast<size_t>(got);
    if (held == 4 && message.empty()) {
      const uint32_t word = wire::GetU32(header);
      length = wire::LengthOf(word);
      const uint8_t type = wire::TypeOf(word);
      if (length < wire::kHeaderSize) {
        Complain("header " + Hex32(word) + " says length " + std::to_string(length) + " (type " + std::to_string(type) +
                 "), below the 4 header bytes; closing");
        return;
      }
      if (length > wire::kMaxMessage) {
        Complain("header " + Hex32(word) + " says length " + std::to_string(length) + " (type " + std::to_string(type) +
                 "), above 4000000; closing");
        return;
      }
      message.assign(header, header + 4);
      message.resize(length);
    }
    if (held >= 4 && held == length) {
      // Handled before it is recorded: whoever waits for a message sees its effects too.
      Handle(message);
      tally_.Received(message);
      recorder_.Add(number_, message);
      message.clear();
      held = 0;
      length = 0;
    }
  }
}

void Session::Handle(const std::vector<uint8_t>& message) {
  const uint8_t type = message[3];
  CheckLayout(message);
  switch (type) {
    case wire::kPasscode:
      HandlePasscodeAnswer(message);
      break;
    case wire::kFormatRequest:
      HandleFormatRequest(message);
      break;
    case wire::kHelloAnswer: {
      std::lock_guard<std::mutex> lock(stateMutex_);
      if (!helloSent_) Complain("hello answer (type 4) before any hello");
      break;
    }
    case wire::kCapabilitiesAnswer: {
      std::lock_guard<std::mutex> lock(stateMutex_);
      if (!capabilitiesSent_) Complain("type 17 before any capabilities");
      break;
    }
    case wire::kDecodeAck:
      if (message.size() >= 8) {
        const uint32_t bits = wire::GetU32(message.data() + 4);
        if (!WasSent(bits)) {
          Complain("decode acknowledgement for timestamp " + Hex32(bits) + ", which no video packet carried");
        }
      }
      break;
    default:
      break;
  }
}

void Session::CheckLayout(const std::vector<uint8_t>& message) {
  const uint8_t type = message[3];
  const size_t size = message.size();
  const int expected = ExpectedLength(type);
  if (expected < 0) {
    Complain("message of type " + std::to_string(type) + " (length " + std::to_string(size) +
             "), which the engine never sends");
    return;
  }
  if (size != static_cast<size_t>(expected)) {
    Complain("type " + std::to_string(type) + " with length " + std::to_string(size) + ", expected " +
             std::to_string(expected));
    return;
  }
  const uint8_t* m = message.data();
  switch (type) {
    case wire::kFormatRequest: {
      if (wire::GetU32(m + 4) != 1)
        Complain("format request: field at 4 is " + std::to_string(wire::GetU32(m + 4)) + ", expected 1");
      const uint32_t codec = wire::GetU32(m + 8);
      if (codec != wire::kCodecH264 && codec != wire::kCodecHevc)
        Complain("format request: codec " + std::to_string(codec));
      break;
    }
    case wire::kErrorReport:
    case wire::kCapabilitiesAnswer:
      if (wire::GetU32(m + 4) != 12 || wire::GetU32(m + 8) != 14) {
        Complain("type " + std::to_string(type) + ": constants " + std::to_string(wire::GetU32(m + 4)) + "," +
                 std::to_string(wire::GetU32(m + 8)) + ", expected 12,14");
      }
      if (type == wire::kErrorReport && std::memchr(m + 12, 0, wire::kTextSize) == nullptr) {
        Complain("error report text has no NUL in its 256 bytes");
      }
      break;
    case wire::kFocus:
      if (wire::GetU32(m + 12) > 255) Complain("focus flag " + std::to_string(wire::GetU32(m + 12)) + " above 255");
      break;
    case wire::kPasscode:
      if (wire::GetU32(m + 4) != 0)
        Complain("passcode answer: field at 4 is " + std::to_string(wire::GetU32(m + 4)) + ", expected 0");
      break;
    default:
      break;
  }
}

void Session::HandlePasscodeAnswer(const std::vector<uint8_t>& message) {
  bool accepted = false;
  bool openAfter = false;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (passcode_ != Passcode::kPending) {
      Complain("passcode answer without a pending challenge");
      return;
    }
    accepted = message.size() == 16 && wire::GetU64(message.data() + 8) == expectedAnswer_;
    passcode_ = accepted ? Passcode::kAccepted : Passcode::kRejected;
    openAfter = openAfterPasscode_;
  }
  tally_.PasscodeVerdict(accepted);
  LogInfo("session " + std::to_string(number_) + ": passcode answer " + (accepted ? "right" : "wrong"));
  Changed();
  if (!accepted) {
    Disconnect();
    return;
  }
  if (openAfter) SendOpening();
}

void Session::HandleFormatRequest(const std::vector<uint8_t>& message) {
  if (message.size() != 24) return;  // CheckLayout has complained
  const uint8_t* m = message.data();
  const uint32_t codec = wire::GetU32(m + 8);
  wire::VideoFormat format;
  format.width = wire::GetU32(m + 12);
  format.height = wire::GetU32(m + 16);
  format.fps = wire::GetF32(m + 20);
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (passcode_ == Passcode::kPending || passcode_ == Passcode::kRejected) {
      Complain("format request before the passcode was accepted; ignored");
      return;
    }
    if (!capabilitiesSent_) Complain("format request before any capabilities");
    if (codec == wire::kCodecHevc && !hevcAdvertised_) {
      Complain("format request names HEVC, which the capabilities did not offer");
    }
    if (codec != wire::kCodecH264 && codec != wire::kCodecHevc) return;
    codec_ = codec;
    format_ = format;
    videoIndex_ = 0;
    streamParamsChanged_ = true;
    if (config_.autostream) streaming_ = true;
  }
  LogInfo("session " + std::to_string(number_) + ": format request codec " + std::to_string(codec) + " " +
          wire::FormatText(format));
  streamWake_.notify_all();
  Changed();
}

void Session::RememberTimestamp(float timestamp) {
  sentTimestamps_[sentTimestampCount_ % sentTimestamps_.size()] = FloatBits(timestamp);
  ++sentTimestampCount_;
}

bool Session::WasSent(uint32_t timestampBits) const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  // The window holds the last 4096 packets, minutes of video: an engine that acknowledges an
  // older one is as wrong as one that makes a timestamp up.
  const size_t kept = std::min(sentTimestampCount_, sentTimestamps_.size());
  for (size_t i = 0; i < kept; ++i) {
    if (sentTimestamps_[i] == timestampBits) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Streaming

void Session::StreamerMain() {
  StreamLoop();
  ThreadDone();
}

void Session::StreamLoop() {
  std::unique_lock<std::mutex> lock(stateMutex_);
  Clock::time_point nextVideo;
  Clock::time_point nextAudio;
  Clock::time_point nextChaos;
  const ChaosSource* scheduledChaos = nullptr;
  bool running = false;
  while (!stopping_) {
    if (!streaming_ || silenced_) {
      running = false;
      streamWake_.wait(lock, [this] { return stopping_ || (streaming_ && !silenced_); });
      continue;
    }
    double videoRate = videoRate_;
    if (videoRate < 0) {
      videoRate = std::isfinite(format_.fps) && format_.fps > 0 ? format_.fps : 30.0;
      if (videoRate < 1) videoRate = 1;
      if (videoRate > 240) videoRate = 240;
    }
    const double audioRate = audioRate_;
    const Clock::time_point now = Clock::now();
    if (!running || streamParamsChanged_) {
      if (!running) {
        nextVideo = now;
        nextAudio = now;
      }
      if (!running || chaosSource_.get() != scheduledChaos) nextChaos = now;
      scheduledChaos = chaosSource_.get();
      running = true;
      streamParamsChanged_ = false;
    }
    const bool video = videoRate > 0;
    const bool audio = audioRate > 0;
    const bool chaos = chaosSource_ != nullptr;
    if (!video && !audio && !chaos) {
      streamWake_.wait(lock, [this] { return stopping_ || streamParamsChanged_ || !streaming_ || silenced_; });
      continue;
    }
    Clock::time_point due = Clock::time_point::max();
    if (video && nextVideo < due) due = nextVideo;
    if (audio && nextAudio < due) due = nextAudio;
    if (chaos && nextChaos < due) due = nextChaos;
    if (now < due) {
      streamWake_.wait_until(lock, due,
                             [this] { return stopping_ || streamParamsChanged_ || !streaming_ || silenced_; });
      continue;
    }
    // A stall of more than a second (a slow engine) restarts the schedule instead of bursting.
    const auto behind = std::chrono::seconds(1);
    if (video && nextVideo <= now) {
      const auto& source = codec_ == wire::kCodecHevc ? config_.hevcPackets : config_.h264;
      std::vector<uint8_t> payload = (source ? source : syntheticVideo_)->Payload(videoIndex_++);
      if (corruptLeft_ > 0) {
        --corruptLeft_;
        // The start code and the first unit's header stay, so the decoder takes the packet in
        // and meets the damage inside it.
        for (size_t i = 6; i < payload.size(); ++i) {
          if (corruptRandom_() % 8 == 0) payload[i] = static_cast<uint8_t>(corruptRandom_());
        }
      }
      const float timestamp = std::chrono::duration<float>(now - start_).count();
      RememberTimestamp(timestamp);
      lock.unlock();
      const bool sent = Send(wire::VideoPacket(timestamp, payload.data(), payload.size()), Origin::kStream);
      lock.lock();
      if (sent) {
        ++videoSent_;
        lastVideoTimestamp_ = timestamp;
      }
      nextVideo += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / videoRate));
      if (Clock::now() - nextVideo > behind) nextVideo = Clock::now();
    }
    if (audio && nextAudio <= now && !stopping_) {
      const std::vector<uint8_t> payload = (config_.opus ? config_.opus : syntheticAudio_)->Payload(audioIndex_++);
      const uint32_t sequence = static_cast<uint32_t>(audioSent_);
      lock.unlock();
      const bool sent = Send(wire::AudioPacket(sequence, payload.data(), payload.size()), Origin::kStream);
      lock.lock();
      if (sent) ++audioSent_;
      nextAudio += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / audioRate));
      if (Clock::now() - nextAudio > behind) nextAudio = Clock::now();
    }
    if (chaos && nextChaos <= now && !stopping_) {
      const std::vector<uint8_t> message = chaosSource_->Next();
      // An engine may acknowledge a hostile video packet too; that is no fault of the engine's.
      if (message[3] == wire::kVideo && message.size() >= 8) {
        RememberTimestamp(wire::GetF32(message.data() + 4));
      }
      const double rate = chaos_.rate;
      lock.unlock();
      const bool sent = Send(message, Origin::kChaos);
      lock.lock();
      if (sent) ++chaosSent_;
      nextChaos += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
      if (Clock::now() - nextChaos > behind) nextChaos = Clock::now();
    }
  }
}

}  // namespace phonesim
