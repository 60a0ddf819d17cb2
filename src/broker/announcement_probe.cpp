#include "broker/announcement_probe.h"

#include <algorithm>
#include <cstdint>

#include "platform/clock.h"
#include "platform/socket.h"
#include "protocol/wire_header.h"

namespace kavex {
namespace {

constexpr int kSliceMs = 100;

// Waits in slices until the socket is ready for `writable` or not, the limit passes or the
// watcher stops; true when it is ready.
bool WaitReady(platform::StreamSocket& socket, bool writable, double end, const std::atomic<bool>& running) {
  while (running.load()) {
    const int leftMs = static_cast<int>((end - EngineClock::Now()) * 1000.0);
    if (leftMs <= 0) return false;
    const int sliceMs = std::min(leftMs, kSliceMs);
    const platform::SocketWait waited = writable ? socket.WaitWritable(sliceMs) : socket.WaitReadable(sliceMs);
    if (waited.status == platform::SocketWait::Status::kReady) return true;
    if (waited.status == platform::SocketWait::Status::kError && !waited.interrupted) return false;
  }
  return false;
}

}  // namespace

bool ProbeAnnouncement(const SocketAddress& port, int limitMs, const std::atomic<bool>& running,
                       AnnouncementBlock* block) {
  const double end = EngineClock::Now() + limitMs / 1000.0;
  platform::StreamSocket socket = platform::StreamSocket::Create(port.family);
  if (!socket.valid() || !socket.SetNonBlocking()) return false;
  switch (socket.Connect(port)) {
    case platform::ConnectStatus::kFailed:
      return false;
    case platform::ConnectStatus::kInProgress: {
      int error = 0;
      if (!WaitReady(socket, true, end, running) || !socket.PendingError(&error) || error != 0) return false;
      break;
    }
    case platform::ConnectStatus::kConnected:
      break;
  }

  // One message at a time: its header, then its body, of which only an announcement's first bytes
  // are kept, so that memory stays bounded whatever the lengths say.
  uint8_t header[WireHeader::kSize] = {};
  size_t headerHeld = 0;
  uint32_t bodyLeft = 0;
  size_t blockHeld = 0;
  bool announcement = false;
  uint8_t chunk[512];
  while (WaitReady(socket, false, end, running)) {
    const long received = socket.Receive(chunk, sizeof chunk);
    if (received == 0) return false;  // ended before a whole announcement
    if (received < 0) {
      if (platform::IsWouldBlock(platform::LastSocketError())) continue;
      return false;
    }
    for (size_t at = 0; at < static_cast<size_t>(received);) {
      if (headerHeld < WireHeader::kSize) {
        header[headerHeld++] = chunk[at++];
        if (headerHeld < WireHeader::kSize) continue;
        const uint32_t word = header[0] | (header[1] << 8) | (header[2] << 16) | (uint32_t{header[3]} << 24);
        const uint32_t length = WireHeader::Length(word);
        if (length < WireHeader::kSize || length > WireHeader::kMaxReceivedLength) return false;
        announcement = WireHeader::Type(word) == PhoneAnnouncement::kMessageType;
        bodyLeft = length - WireHeader::kSize;
        if (announcement) {
          block->fill(0);
          std::copy(header, header + WireHeader::kSize, block->begin());
          blockHeld = WireHeader::kSize;
        }
      } else {
        const size_t take = std::min<size_t>(bodyLeft, static_cast<size_t>(received) - at);
        if (announcement && blockHeld < block->size()) {
          const size_t keep = std::min(take, block->size() - blockHeld);
          std::copy(chunk + at, chunk + at + keep, block->begin() + static_cast<std::ptrdiff_t>(blockHeld));
          blockHeld += keep;
        }
        at += take;
        bodyLeft -= static_cast<uint32_t>(take);
      }
      if (headerHeld == WireHeader::kSize && bodyLeft == 0) {
        if (announcement) return true;
        headerHeld = 0;  // the next message
      }
    }
  }
  return false;
}

}  // namespace kavex
