#include "recorder.h"

namespace phonesim {

Recorder::Recorder() : start_(std::chrono::steady_clock::now()) {}

int64_t Recorder::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
}

void Recorder::Add(uint32_t session, std::vector<uint8_t> bytes) {
  if (bytes.size() < 4) return;  // the reader only hands over framed messages
  const uint8_t type = bytes[3];
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Record record;
    record.number = nextNumber_++;
    record.session = session;
    record.ms = NowMs();
    bytes_ += bytes.size();
    record.bytes = std::move(bytes);
    records_.push_back(std::move(record));
    while (!records_.empty() && (records_.size() > kMaxRecords || bytes_ > kMaxBytes)) {
      bytes_ -= records_.front().bytes.size();
      records_.pop_front();
    }
    ++counts_[type];
    ++total_;
  }
  changed_.notify_all();
}

void Recorder::Complain(uint32_t session, const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    complaints_.push_back("session=" + std::to_string(session) + " " + text);
    if (complaints_.size() > kMaxComplaints) complaints_.pop_front();
    ++complaintCount_;
  }
  changed_.notify_all();
}

std::vector<Recorder::Record> Recorder::Snapshot(int type) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Record> out;
  for (const Record& record : records_) {
    if (type < 0 || record.bytes[3] == type) out.push_back(record);
  }
  return out;
}

std::vector<std::string> Recorder::Complaints() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<std::string>(complaints_.begin(), complaints_.end());
}

uint64_t Recorder::Count(int type) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (type < 0) return total_;
  return counts_[static_cast<size_t>(type & 0xff)];
}

uint64_t Recorder::ComplaintCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return complaintCount_;
}

void Recorder::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
  bytes_ = 0;
  counts_.fill(0);
  total_ = 0;
  complaints_.clear();
  complaintCount_ = 0;
}

bool Recorder::WaitFor(int type, uint64_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto reached = [&] {
    const uint64_t have = type < 0 ? total_ : counts_[static_cast<size_t>(type & 0xff)];
    return have >= count;
  };
  changed_.wait_for(lock, timeout, [&] { return shutdown_ || reached(); });
  return reached();
}

void Recorder::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shutdown_ = true;
  }
  changed_.notify_all();
}

}  // namespace phonesim
