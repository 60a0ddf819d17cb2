#include "usbmux/usbmux_client_exchange.h"

#include <cerrno>
#include <string>

#include "usbmux/usbmux_client_debug.h"

namespace kavex::usbmux {

namespace {

// The service's Result numbers.
constexpr uint32_t kResultBadCommand = 1;
constexpr uint32_t kResultBadDevice = 2;
constexpr uint32_t kResultRefused = 3;
constexpr uint32_t kResultBadVersion = 6;

std::atomic<uint32_t> lastTag{0};

}  // namespace

uint32_t NextTag() {
  uint32_t tag = lastTag.fetch_add(1) + 1;
  if (tag == 0) tag = lastTag.fetch_add(1) + 1;  // 0 is the tag of events
  return tag;
}

int ReadMessage(ServiceStream& stream, int firstByteTimeoutMs, const std::atomic<bool>* stop, Message* out) {
  uint8_t head[Header::kSize];
  // The first byte may be long in coming (an event stream); the rest of a message may not.
  int result = ReadExact(stream, head, 1, WaitDeadline(firstByteTimeoutMs), stop);
  if (result != 0) return result;
  const Deadline restDeadline = WaitDeadline(kMessageRestTimeoutMs);
  result = ReadExact(stream, head + 1, sizeof head - 1, restDeadline, stop);
  if (result != 0) return result == -ECONNRESET ? -EPROTO : result;
  const std::optional<Header> header = ParseHeader(head, sizeof head);
  if (!header) return -EPROTO;
  std::vector<uint8_t> body(header->length - Header::kSize);
  result = ReadExact(stream, body.data(), body.size(), restDeadline, stop);
  if (result != 0) return result == -ECONNRESET ? -EPROTO : result;
  std::optional<Reply> reply = ParsePayload(body.data(), body.size());
  if (!reply) return -EBADMSG;
  out->header = *header;
  out->reply = std::move(*reply);
  return 0;
}

int Exchange(const std::function<std::vector<uint8_t>(uint32_t tag)>& build, Reply* reply,
             std::unique_ptr<ServiceStream>* keep) {
  const std::optional<ServiceAddress> address = CurrentServiceAddress();
  if (!address) {
    DebugLine("the service address in USBMUXD_SOCKET_ADDRESS is not one this client reads");
    return -EINVAL;
  }
  int result = 0;
  std::unique_ptr<ServiceStream> stream = ConnectService(*address, kServiceConnectTimeoutMs, &result);
  if (!stream) {
    DebugLine("no service connection: errno " + std::to_string(-result));
    return result;
  }
  const uint32_t tag = NextTag();
  const std::vector<uint8_t> request = build(tag);
  size_t sent = 0;
  result = SendAll(*stream, request.data(), request.size(), kReplyTimeoutMs, &sent);
  Message message;
  if (result == 0) result = ReadMessage(*stream, kReplyTimeoutMs, nullptr, &message);
  if (result == 0 && message.header.tag != tag) result = -EPROTO;
  if (result != 0) {
    DebugLine("request failed: errno " + std::to_string(-result));
    return result;
  }
  *reply = std::move(message.reply);
  if (keep != nullptr) *keep = std::move(stream);
  return 0;
}

int ErrnoOfResult(uint32_t number, int notFound) {
  switch (number) {
    case kResultBadCommand:
      return EINVAL;
    case kResultBadDevice:
      return notFound;
    case kResultRefused:
      return ECONNREFUSED;
    case kResultBadVersion:
      return EPROTONOSUPPORT;
    default:
      return EIO;
  }
}

}  // namespace kavex::usbmux
