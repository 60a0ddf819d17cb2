#pragma once
// A connection that keeps what the engine sends instead of putting it on a socket, for driving an
// instance's message handling directly.
#include <cstdint>
#include <mutex>
#include <vector>

#include "protocol/phone_connection.h"

class RecordingConnection : public kavex::PhoneConnection {
 public:
  RecordingConnection(const kavex::PhoneId& id, const kavex::SocketAddress& peer) : id_(id), peer_(peer) {}

  bool Send(const uint8_t* data, size_t length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.emplace_back(data, data + length);
    return true;
  }
  void Close() override {}
  const kavex::PhoneId& phoneId() const override { return id_; }
  bool overUsb() const override { return false; }
  const kavex::SocketAddress& peerAddress() const override { return peer_; }

  std::vector<std::vector<uint8_t>> sent() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
  }
  // Message types in the order they were sent.
  std::vector<int> sentTypes() {
    std::vector<int> types;
    for (const auto& message : sent()) types.push_back(message.size() >= 4 ? message[3] : -1);
    return types;
  }

 private:
  kavex::PhoneId id_;
  kavex::SocketAddress peer_;
  std::mutex mutex_;
  std::vector<std::vector<uint8_t>> sent_;
};
