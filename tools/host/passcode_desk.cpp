#include "passcode_desk.h"

namespace kavexhost {

PasscodeDesk::PasscodeDesk(double answerWaitSeconds) : answerWait_(answerWaitSeconds) {}

uint64_t PasscodeDesk::KeyFor(int instance, const uint8_t* id, const std::string& name, double now) {
  const PhoneId phone = CopyPhoneId(id);
  std::lock_guard<std::mutex> lock(mutex_);
  const auto known = keys_.find(phone);
  if (known != keys_.end()) {
    if (instance >= 0 && instance < 4) answers_[instance] = Answer{true, phone, name, now};
    return known->second;
  }
  QueueLocked(PasscodeRequest{instance, phone, name, false});
  return 0;
}

void PasscodeDesk::OnSessionProgress(int instance) {
  if (instance < 0 || instance >= 4) return;
  std::lock_guard<std::mutex> lock(mutex_);
  answers_[instance].waiting = false;
}

void PasscodeDesk::CheckAnswers(double now) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int instance = 0; instance < 4; ++instance) {
    Answer& answer = answers_[instance];
    if (!answer.waiting || now - answer.since < answerWait_) continue;
    answer.waiting = false;
    keys_.erase(answer.id);
    QueueLocked(PasscodeRequest{instance, answer.id, answer.name, true});
  }
}

std::optional<PasscodeRequest> PasscodeDesk::NextRequest() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (requests_.empty()) return std::nullopt;
  PasscodeRequest request = requests_.front();
  requests_.pop_front();
  asking_.insert(request.id);
  return request;
}

void PasscodeDesk::StoreKey(const PhoneId& id, uint64_t key) {
  std::lock_guard<std::mutex> lock(mutex_);
  keys_[id] = key;
  asking_.erase(id);
}

void PasscodeDesk::Abandon(const PhoneId& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  asking_.erase(id);
}

bool PasscodeDesk::HasKey(const PhoneId& id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return keys_.count(id) != 0;
}

void PasscodeDesk::QueueLocked(const PasscodeRequest& request) {
  if (asking_.count(request.id) != 0) return;
  for (PasscodeRequest& queued : requests_) {
    if (queued.id == request.id) {
      queued.instance = request.instance;
      queued.name = request.name;
      queued.afterRefusal = queued.afterRefusal || request.afterRefusal;
      return;
    }
  }
  requests_.push_back(request);
}

}  // namespace kavexhost
