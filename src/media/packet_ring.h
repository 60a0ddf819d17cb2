#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include "platform/sync.h"

namespace kavex {

// The video packets between the receive thread and the decoder thread: their bytes back to back in
// one circular buffer, their lengths and timestamps in a circular FIFO beside it, both allocated
// once. A packet costs one copy in and one copy out and no allocation, so a phone cannot make the
// receive thread allocate however it sizes its packets.
// Thread: Push on the receive thread, Pop on the decoder thread; the mutex guards everything and is
// held only for the copies.
class PacketRing {
 public:
  static constexpr size_t kCapacityBytes = 7000000;
  // Packets of a few bytes (or none) would otherwise queue without limit while the decoder is
  // behind. 4096 is over two minutes of 30 fps video: a backlog that long is lost anyway, and the
  // FIFO costs 32 KB.
  static constexpr size_t kCapacityEntries = 4096;

  struct Entry {
    uint32_t length = 0;
    float timestamp = 0.0f;
  };

  // Empty; valid() is false when the buffer or the FIFO could not be allocated.
  PacketRing();
  PacketRing(const PacketRing&) = delete;
  PacketRing& operator=(const PacketRing&) = delete;

  bool valid() const { return bytes_ != nullptr && entries_ != nullptr; }

  // Queues a copy of the bytes. False when they do not fit or kCapacityEntries packets are queued:
  // nothing is queued and *freeBytes (when given) holds the free space at that moment.
  bool Push(const uint8_t* data, size_t length, float timestamp, size_t* freeBytes = nullptr);
  // Takes the oldest packet, copying its bytes to out, which has room for kCapacityBytes. False
  // when nothing is queued.
  bool Pop(uint8_t* out, Entry* entry);
  bool Empty() const;
  size_t UsedBytes() const;

 private:
  mutable platform::Mutex mutex_;
  std::unique_ptr<uint8_t[]> bytes_;
  size_t readPos_ = 0;
  size_t writePos_ = 0;
  size_t used_ = 0;
  std::unique_ptr<Entry[]> entries_;  // circular: count_ entries from head_
  size_t head_ = 0;
  size_t count_ = 0;
};

}  // namespace kavex
