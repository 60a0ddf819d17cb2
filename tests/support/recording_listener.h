#pragma once
// A transport owner that writes down every callback, for transport and framing tests.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "protocol/phone_connection.h"

struct TransportEvent {
  enum Kind { kConnected, kPacket, kClosed, kFailed };
  TransportEvent(Kind k) : kind(k) {}  // NOLINT: implicit, so events read {kind}
  Kind kind;
  uint8_t type = 0;            // kPacket: byte 3
  size_t length = 0;           // kPacket: whole message, header included
  std::vector<uint8_t> bytes;  // kPacket: the message, when at most 4096 bytes
  bool payloadCounts = true;   // kPacket: payload byte i is (payload byte 0 + i) & 0xff
};

class RecordingListener : public kavex::TransportListener {
 public:
  // Run on the receive thread, inside the callback of the same name.
  std::function<void()> onConnected;
  std::function<void()> onEnd;

  void OnConnected(kavex::PhoneConnection&) override {
    if (onConnected) onConnected();
    Add({TransportEvent::kConnected});
  }
  void OnFailed(kavex::PhoneConnection&) override { End(TransportEvent::kFailed); }
  void OnClosed(kavex::PhoneConnection&) override { End(TransportEvent::kClosed); }
  void OnPacket(kavex::PhoneConnection&, const uint8_t* message, size_t length) override {
    TransportEvent event{TransportEvent::kPacket};
    event.type = message[3];
    event.length = length;
    if (length <= 4096) event.bytes.assign(message, message + length);
    for (size_t i = 5; i < length; ++i)
      if (message[i] != static_cast<uint8_t>(message[4] + (i - 4))) event.payloadCounts = false;
    Add(std::move(event));
  }

  std::vector<TransportEvent> Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  size_t Count(TransportEvent::Kind kind) const {
    size_t n = 0;
    for (const TransportEvent& e : Events()) n += e.kind == kind;
    return n;
  }
  // Waits until at least `count` events of the kind are recorded.
  bool WaitFor(TransportEvent::Kind kind, size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      size_t n = 0;
      for (const TransportEvent& e : events_) n += e.kind == kind;
      return n >= count;
    });
  }
  // Waits for OnClosed or OnFailed.
  bool WaitForEnd(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return ended_; });
  }

 private:
  void End(TransportEvent::Kind kind) {
    if (onEnd) onEnd();  // before anyone waiting for the end is woken
    // Notified under the lock: a waiter that then destroys the listener cannot do so while the
    // (possibly detached) receive thread is still inside notify_all.
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({kind});
    ended_ = true;
    changed_.notify_all();
  }
  void Add(TransportEvent event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<TransportEvent> events_;
  bool ended_ = false;
};
