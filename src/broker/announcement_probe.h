#pragma once
#include <atomic>

#include "platform/socket_address.h"
#include "protocol/phone_announcement.h"

namespace kavex {

// Reads a phone's announcement from its announcement port, reached through one of the bridge's
// forwards on loopback: the phone sends its block and closes. Messages of other types before it
// are skipped; a shorter announcement leaves the rest of the block zero, a longer one gives its
// first bytes. False when nothing connects, the stream ends or breaks before a whole announcement,
// a length is impossible, limitMs passes, or `running` is cleared (looked at every 100 ms).
// Thread: the caller's, which it blocks for at most limitMs.
bool ProbeAnnouncement(const SocketAddress& port, int limitMs, const std::atomic<bool>& running,
                       AnnouncementBlock* block);

}  // namespace kavex
