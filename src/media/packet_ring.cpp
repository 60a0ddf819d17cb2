#include "media/packet_ring.h"

#include <cstring>
#include <new>
#include "platform/sync.h"

namespace kavex {

PacketRing::PacketRing()
    : bytes_(new (std::nothrow) uint8_t[kCapacityBytes]), entries_(new (std::nothrow) Entry[kCapacityEntries]) {}

bool PacketRing::Push(const uint8_t* data, size_t length, float timestamp, size_t* freeBytes) {
  std::lock_guard<platform::Mutex> lock(mutex_);
  const size_t free = valid() ? kCapacityBytes - used_ : 0;
  if (length > free || count_ == kCapacityEntries || !valid()) {
    if (freeBytes != nullptr) *freeBytes = free;
    return false;
  }
  if (length > 0) {
    const size_t first = length < kCapacityBytes - writePos_ ? length : kCapacityBytes - writePos_;
    std::memcpy(bytes_.get() + writePos_, data, first);
    std::memcpy(bytes_.get(), data + first, length - first);
    writePos_ = (writePos_ + length) % kCapacityBytes;
    used_ += length;
  }
  entries_[(head_ + count_) % kCapacityEntries] = Entry{static_cast<uint32_t>(length), timestamp};
  ++count_;
  return true;
}

bool PacketRing::Pop(uint8_t* out, Entry* entry) {
  std::lock_guard<platform::Mutex> lock(mutex_);
  if (count_ == 0) return false;
  *entry = entries_[head_];
  head_ = (head_ + 1) % kCapacityEntries;
  --count_;
  const size_t length = entry->length;
  if (length > 0) {
    const size_t first = length < kCapacityBytes - readPos_ ? length : kCapacityBytes - readPos_;
    std::memcpy(out, bytes_.get() + readPos_, first);
    std::memcpy(out + first, bytes_.get(), length - first);
    readPos_ = (readPos_ + length) % kCapacityBytes;
    used_ -= length;
  }
  return true;
}

bool PacketRing::Empty() const {
  std::lock_guard<platform::Mutex> lock(mutex_);
  return count_ == 0;
}

size_t PacketRing::UsedBytes() const {
  std::lock_guard<platform::Mutex> lock(mutex_);
  return used_;
}

}  // namespace kavex
