#include "discovery/phone_list.h"

namespace kavex {

std::string PhoneKey(const PhoneId& id) {
  const uint32_t raw = static_cast<uint32_t>(id.bytes[0]) | (static_cast<uint32_t>(id.bytes[1]) << 8) |
                       (static_cast<uint32_t>(id.bytes[2]) << 16) |
                       (static_cast<uint32_t>(id.bytes[3]) << 24);
  return std::to_string(static_cast<int32_t>(raw));
}

PhoneList& PhoneList::Instance() {
  static PhoneList list;
  return list;
}

PhoneRecord* PhoneList::FindLocked(const PhoneId& id) {
  for (auto& record : records_)
    if (record->id == id) return record.get();
  return nullptr;
}

PhoneRecord& PhoneList::Append(std::unique_ptr<PhoneRecord> record) {
  std::lock_guard<std::mutex> guard(mutex_);
  records_.push_back(std::move(record));
  return *records_.back();
}

void PhoneList::ResetStateToIdle(const PhoneId& id) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (PhoneRecord* record = FindLocked(id)) record->state = PhoneState::kIdle;
}

PhoneState PhoneList::GetPhoneState(const PhoneId& id) {
  std::lock_guard<std::mutex> guard(mutex_);
  const PhoneRecord* record = FindLocked(id);
  return record != nullptr ? record->state : PhoneState::kIdle;
}

std::string PhoneList::GetPhoneName(const PhoneId& id) {
  std::lock_guard<std::mutex> guard(mutex_);
  const PhoneRecord* record = FindLocked(id);
  return record != nullptr ? record->name : std::string("Phone");
}

void PhoneList::Clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  records_.clear();
}

size_t PhoneList::Size() {
  std::lock_guard<std::mutex> guard(mutex_);
  return records_.size();
}

}  // namespace kavex
