#include "media/packet_ring.h"

#include <cstring>
#include <new>

namespace kavex {
namespace {

constexpr size_t kInitialEntries = 256;

}  // namespace

PacketRing::PacketRing()
    : bytes_(new (std::nothrow) uint8_t[kCapacityBytes]), entries_(kInitialEntries) {}

bool PacketRing::Push(const uint8_t* data, size_t length, float timestamp, size_t* freeBytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  const size_t free = valid() ? kCapacityBytes - used_ : 0;
  if (length > free) {
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
  AppendEntry(Entry{static_cast<uint32_t>(length), timestamp});
  return true;
}

bool PacketRing::Pop(uint8_t* out, Entry* entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count_ == 0) return false;
  *entry = entries_[head_];
  head_ = (head_ + 1) % entries_.size();
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
  std::lock_guard<std::mutex> lock(mutex_);
  return count_ == 0;
}

size_t PacketRing::UsedBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return used_;
}

void PacketRing::AppendEntry(const Entry& entry) {
  if (count_ == entries_.size()) {
    // Unroll into a buffer twice the size, oldest first.
    std::vector<Entry> grown(entries_.size() * 2);
    for (size_t i = 0; i < count_; ++i) grown[i] = entries_[(head_ + i) % entries_.size()];
    entries_.swap(grown);
    head_ = 0;
  }
  entries_[(head_ + count_) % entries_.size()] = entry;
  ++count_;
}

}  // namespace kavex
