#pragma once
// The host's side of the passcode exchange: the keys the engine computed (the engine keeps none),
// the phones that wait for a passcode, and the answers that are still unconfirmed.
//
// Threads: KeyFor and OnSessionProgress run on engine threads (inside callbacks); the rest on the
// main thread. One mutex guards everything; nothing here calls out while holding it.
//
// A phone that refuses a key closes its connection, and the engine keeps the phone waiting for a
// passcode without telling the host anything. So an answer counts as refused when, within the wait
// given to the constructor, the camera that answered reports no further progress (a state other
// than PasscodeNeeded, or a format choice); the key is then forgotten and the phone asked for again.
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "callback_text.h"

namespace kavexhost {

struct PasscodeRequest {
  int instance = 0;
  PhoneId id{};
  std::string name;
  bool afterRefusal = false;  // the phone turned down the last key
};

class PasscodeDesk {
 public:
  explicit PasscodeDesk(double answerWaitSeconds);

  // Engine thread, from the PasscodeKeyCallback: the stored key, or 0 after queueing a request
  // (one per phone; none while the user is being asked about it).
  uint64_t KeyFor(int instance, const uint8_t* id, const std::string& name, double now);
  // Engine thread: the camera's session moved on past the challenge (a state other than
  // PasscodeNeeded, a format choice).
  void OnSessionProgress(int instance);

  // Main thread. Turns answers left unconfirmed for the wait into requests.
  void CheckAnswers(double now);
  // The oldest request; its phone counts as being asked until StoreKey or Abandon.
  std::optional<PasscodeRequest> NextRequest();
  void StoreKey(const PhoneId& id, uint64_t key);
  void Abandon(const PhoneId& id);

  bool HasKey(const PhoneId& id) const;

 private:
  struct Answer {
    bool waiting = false;
    PhoneId id{};
    std::string name;
    double since = 0.0;
  };

  void QueueLocked(const PasscodeRequest& request);

  mutable std::mutex mutex_;
  const double answerWait_;
  std::map<PhoneId, uint64_t> keys_;
  std::deque<PasscodeRequest> requests_;
  std::set<PhoneId> asking_;
  Answer answers_[4];
};

}  // namespace kavexhost
