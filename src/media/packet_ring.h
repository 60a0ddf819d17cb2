#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kavex {

// The video packets between the receive thread and the decoder thread: their bytes back to back in
// one circular buffer allocated once, their lengths and timestamps in a FIFO beside it. A packet
// costs one copy in and one copy out and no allocation; the FIFO is itself a circular array that
// doubles when full and never shrinks, so it stops growing once it has held the longest backlog.
// Thread: Push on the receive thread, Pop on the decoder thread; the mutex guards everything and is
// held only for the copies.
class PacketRing {
 public:
  static constexpr size_t kCapacityBytes = 7000000;

  struct Entry {
    uint32_t length = 0;
    float timestamp = 0.0f;
  };

  // Empty; valid() is false when the buffer could not be allocated.
  PacketRing();
  PacketRing(const PacketRing&) = delete;
  PacketRing& operator=(const PacketRing&) = delete;

  bool valid() const { return bytes_ != nullptr; }

  // Queues a copy of the bytes. False when they do not fit: nothing is queued and *freeBytes (when
  // given) holds the free space at that moment. An empty packet always fits.
  bool Push(const uint8_t* data, size_t length, float timestamp, size_t* freeBytes = nullptr);
  // Takes the oldest packet, copying its bytes to out, which has room for kCapacityBytes. False
  // when nothing is queued.
  bool Pop(uint8_t* out, Entry* entry);
  bool Empty() const;
  size_t UsedBytes() const;

 private:
  void AppendEntry(const Entry& entry);

  mutable std::mutex mutex_;
  std::unique_ptr<uint8_t[]> bytes_;
  size_t readPos_ = 0;
  size_t writePos_ = 0;
  size_t used_ = 0;
  std::vector<Entry> entries_;  // circular: count_ entries from head_
  size_t head_ = 0;
  size_t count_ = 0;
};

}  // namespace kavex
