#include "protocol/read_ahead_source.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kavex {

ReadAheadSource::ReadAheadSource(ByteSource& stream)
    : stream_(stream), buffer_(new (std::nothrow) uint8_t[kCapacity]) {}

ByteSource::Wait ReadAheadSource::WaitReadable(int timeoutMs) {
  if (start_ < end_) {
    Wait wait;
    wait.status = Wait::Status::kReadable;
    return wait;
  }
  return stream_.WaitReadable(timeoutMs);
}

ByteSource::Received ReadAheadSource::Receive(uint8_t* into, size_t wanted) {
  if (start_ == end_) {
    if (buffer_ == nullptr || wanted >= kCapacity) return stream_.Receive(into, wanted);
    const Received got = stream_.Receive(buffer_.get(), kCapacity);
    if (got.status != Received::Status::kData) return got;
    start_ = 0;
    end_ = std::min(got.count, kCapacity);
  }
  Received handed;
  handed.status = Received::Status::kData;
  handed.count = std::min(wanted, end_ - start_);
  std::memcpy(into, buffer_.get() + start_, handed.count);
  start_ += handed.count;
  return handed;
}

}  // namespace kavex
