#pragma once
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "chaos.h"
#include "config.h"
#include "recorder.h"
#include "run_tally.h"
#include "sim_socket.h"
#include "wire.h"

namespace phonesim {

// One accepted connection from an engine, played as the phone.
// Threads: a reader thread (the opening messages, then every message from the engine, the
// passcode check and the format requests) and a streamer thread (video and audio packets).
// Control clients call the public operations from their own threads. Sends are serialised by
// one mutex, so every message leaves whole (a trickled one too). The socket is closed only by
// Join, after both threads have ended; until then ending the session only shuts it down.
class Session {
 public:
  enum class Passcode { kNone, kPending, kAccepted, kRejected };
  // kAuto: the opening and replies, held back by silence. kStream: stream packets, held back by
  // silence and by streaming being off. kChaos: the hostile messages among the stream, held back
  // like it. kCommand: what a control command asks for, always sent.
  enum class Origin { kAuto, kStream, kChaos, kCommand };

  struct Status {
    bool open = false;
    Passcode passcode = Passcode::kNone;
    bool streaming = false;
    bool silenced = false;
    uint32_t codec = 0;
    wire::VideoFormat format;
    uint64_t videoSent = 0;
    // The timestamp of the last video packet counted in videoSent (negative before the first), so
    // that a reader can tell exactly which pictures a count covers.
    float lastVideoTimestamp = -1.0f;
    uint64_t audioSent = 0;
    uint64_t messagesSent = 0;
    ChaosSettings chaos;
    uint64_t chaosSent = 0;
  };

  Session(simsock::Socket socket, uint32_t number, PhoneConfig config, Recorder& recorder, RunTally& tally,
          std::function<void()> onChange);
  ~Session();  // ends and joins
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void Start();
  // Asks both threads to end (shuts the socket down); returns at once.
  void End();
  // Waits for both threads and closes the socket. Not on the session's own threads.
  void Join();
  // Both threads have ended: nothing more leaves, the counters are final.
  bool Ended() const { return ended_; }
  uint32_t Number() const { return number_; }
  Status GetStatus() const;
  std::string PeerText() const { return peer_; }

  // Sends one message (or any bytes). False when the session is over, silenced (kAuto only) or
  // the send failed; a failed send ends the session.
  bool Send(const std::vector<uint8_t>& bytes, Origin origin);

  // The opening without a passcode: announcement, hello, capabilities.
  bool SendOpening();
  bool SendAnnouncement(const wire::Identity& identity, Origin origin = Origin::kAuto);
  bool SendHello(Origin origin = Origin::kAuto);
  bool SendCapabilities(const std::vector<wire::VideoFormat>& formats, bool hevc, Origin origin = Origin::kAuto);
  // Sends a new challenge and waits for the engine's answer to it. The opening follows a right
  // answer when `openAfter` is set.
  bool SendChallenge(const std::string& passcode, bool openAfter, Origin origin = Origin::kAuto);

  void SetStreaming(bool on);
  void SetRates(double videoRate, double audioRate);
  // Silence: nothing automatic leaves (stream, opening, replies); the socket stays open.
  void SetSilenced(bool silenced);
  // Hostile messages among the stream from now on (chaos.h); `on` false stops them. A new seed
  // starts its sequence from the beginning.
  void SetChaos(const ChaosSettings& chaos);
  // The next `count` video packets of the stream leave with random bytes in their payload
  // (seeded, so a run can be repeated).
  void CorruptVideo(uint32_t count, uint64_t seed);
  // The next message leaves one byte at a time, `delayMs` apart.
  void ArmTrickle(int delayMs);
  // Graceful close (FIN) after anything queued.
  void Disconnect();
  // Abortive close: SO_LINGER 0, then the descriptor goes, so the engine gets a reset.
  bool Reset();

 private:
  void ReaderMain();
  void StreamerMain();
  void StreamLoop();
  void ReadLoop();
  void Handle(const std::vector<uint8_t>& message);
  void HandlePasscodeAnswer(const std::vector<uint8_t>& message);
  void HandleFormatRequest(const std::vector<uint8_t>& message);
  void CheckLayout(const std::vector<uint8_t>& message);
  void Complain(const std::string& text);
  void RememberTimestamp(float timestamp);
  bool WasSent(uint32_t timestampBits) const;
  void InterruptTrickle();
  void Changed();
  void ThreadDone();

  const uint32_t number_;
  const std::chrono::steady_clock::time_point start_;
  PhoneConfig config_;
  Recorder& recorder_;
  RunTally& tally_;
  std::function<void()> onChange_;
  std::string peer_;

  // The descriptor number never changes while the threads run (Reset swaps the socket behind
  // it for /dev/null), so reads and polls never hit a reused number.
  simsock::Socket socket_;  // closed by Join under sendMutex_
  const int fd_;            // its number, for the threads and End
  std::atomic<bool> stopping_{false};
  std::atomic<bool> ended_{false};
  std::atomic<int> threadsRunning_{2};  // the last thread to end marks the session ended
  std::thread reader_;
  std::thread streamer_;
  bool joined_ = false;

  mutable std::mutex sendMutex_;  // held for a whole message (a trickled one too); guards:
  bool broken_ = false;           // a send failed or the socket was reset or closed
  int trickleMs_ = -1;            // armed trickle delay, -1 = none
  std::atomic<uint64_t> messagesSent_{0};

  // The pauses of a trickle sleep here, with the send lock still held; Reset and Disconnect cut
  // them short through `interrupt_`, End through `stopping_`.
  std::mutex trickleMutex_;
  std::condition_variable trickleWake_;
  std::atomic<bool> interrupt_{false};

  mutable std::mutex stateMutex_;  // guards what follows; never held across a send
  std::condition_variable streamWake_;
  Passcode passcode_ = Passcode::kNone;
  uint64_t expectedAnswer_ = 0;
  bool openAfterPasscode_ = false;
  bool capabilitiesSent_ = false;
  bool helloSent_ = false;
  bool hevcAdvertised_ = false;
  bool streaming_ = false;
  bool silenced_ = false;
  bool streamParamsChanged_ = false;
  uint32_t codec_ = 0;
  wire::VideoFormat format_;
  double videoRate_;
  double audioRate_;
  uint64_t videoSent_ = 0;
  float lastVideoTimestamp_ = -1.0f;
  uint64_t audioSent_ = 0;
  uint64_t videoIndex_ = 0;  // fixture position; back to 0 on each format request
  uint64_t audioIndex_ = 0;
  ChaosSettings chaos_;
  std::unique_ptr<ChaosSource> chaosSource_;
  uint64_t chaosSent_ = 0;
  uint32_t corruptLeft_ = 0;
  std::mt19937_64 corruptRandom_;
  std::shared_ptr<const PacketSource> syntheticVideo_;
  std::shared_ptr<const PacketSource> syntheticAudio_;
  std::array<uint32_t, 4096> sentTimestamps_{};
  size_t sentTimestampCount_ = 0;
};

const char* PasscodeText(Session::Passcode state);

}  // namespace phonesim
