#include "run_tally.h"

#include <cstdio>

namespace phonesim {
namespace {

std::string Line(const std::string& key, uint64_t value) { return key + " " + std::to_string(value); }

// Milliseconds with two decimals, "-" without a value.
std::string AverageMs(double sumSeconds, size_t count) {
  if (count == 0) return "-";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", sumSeconds / static_cast<double>(count) * 1000.0);
  return buffer;
}

}  // namespace

void RunTally::Sent(const std::vector<uint8_t>& bytes, bool streamed) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++sent_;
  const bool whole = bytes.size() >= wire::kHeaderSize && wire::LengthOf(wire::GetU32(bytes.data())) == bytes.size();
  if (!whole) {
    ++sentOther_;
    return;
  }
  const uint8_t type = bytes[3];
  ++sentByType_[type];
  if (streamed && type == wire::kVideo) ++videoPackets_;
  if (streamed && type == wire::kAudio) ++audioPackets_;
}

void RunTally::Received(const std::vector<uint8_t>& message) {
  if (message.size() < wire::kHeaderSize) return;
  std::lock_guard<std::mutex> lock(mutex_);
  ++received_;
  ++receivedByType_[message[3]];
  if (message[3] == wire::kDecodeAck && message.size() == 16) {
    recentAcks_.emplace_back(wire::GetF32(message.data() + 8), wire::GetF32(message.data() + 12));
    if (recentAcks_.size() > kAckWindow) recentAcks_.pop_front();
  }
  if (message[3] == wire::kFormatRequest && message.size() == 24) {
    formatSeen_ = true;
    lastCodec_ = wire::GetU32(message.data() + 8);
    lastFormat_.width = wire::GetU32(message.data() + 12);
    lastFormat_.height = wire::GetU32(message.data() + 16);
    lastFormat_.fps = wire::GetF32(message.data() + 20);
  }
}

void RunTally::PasscodeVerdict(bool accepted) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++(accepted ? passcodeAccepted_ : passcodeRejected_);
}

void RunTally::Complaint() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++complaints_;
}

std::vector<std::string> RunTally::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  double decode = 0;
  double delivery = 0;
  for (const auto& ack : recentAcks_) {
    decode += ack.first;
    delivery += ack.second;
  }
  std::vector<std::string> lines = {
      Line("messages_sent", sent_),
      Line("sent_other", sentOther_),
      Line("video_packets", videoPackets_),
      Line("audio_packets", audioPackets_),
      Line("messages_received", received_),
      Line("acks", receivedByType_[wire::kDecodeAck]),
      Line("ack_window", recentAcks_.size()),
      "ack_decode_ms " + AverageMs(decode, recentAcks_.size()),
      "ack_delivery_ms " + AverageMs(delivery, recentAcks_.size()),
      Line("format_requests", receivedByType_[wire::kFormatRequest]),
      Line("format_codec", formatSeen_ ? lastCodec_ : 0),
      "format " + (formatSeen_ ? wire::FormatText(lastFormat_) : std::string("-")),
      Line("passcode_ok", passcodeAccepted_),
      Line("passcode_wrong", passcodeRejected_),
      Line("complaints", complaints_),
  };
  for (size_t type = 0; type < sentByType_.size(); ++type) {
    if (sentByType_[type] != 0) lines.push_back(Line("sent_type_" + std::to_string(type), sentByType_[type]));
  }
  for (size_t type = 0; type < receivedByType_.size(); ++type) {
    if (receivedByType_[type] != 0)
      lines.push_back(Line("received_type_" + std::to_string(type), receivedByType_[type]));
  }
  return lines;
}

}  // namespace phonesim
