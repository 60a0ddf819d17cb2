// The C interface of usbmuxd.h on our own client: one service connection per request, device
// streams in the handle table, events on subscription threads. Nothing here throws out of a C
// function: allocation failures come back as -ENOMEM.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "platform/sync.h"
#include "usbmux/usbmux_client_debug.h"
#include "usbmux/usbmux_client_events.h"
#include "usbmux/usbmux_client_exchange.h"
#include "usbmux/usbmux_client_handles.h"
#include "usbmux/usbmux_protocol.h"
#include "usbmux/usbmuxd.h"

using kavex::usbmux::DeviceStream;
using kavex::usbmux::ErrnoOfResult;
using kavex::usbmux::Exchange;
using kavex::usbmux::HandleTable;
using kavex::usbmux::Reply;
using kavex::usbmux::ServiceStream;
using kavex::usbmux::Subscription;

namespace {

// usbmuxd_recv's wait.
constexpr unsigned kDefaultReceiveTimeoutMs = 5000;
// How long a send may wait on a device that does not read.
constexpr int kSendStallTimeoutMs = 10000;

// The result of a request whose reply is a Result: 0, or -errno.
int ResultOf(int exchanged, const Reply& reply, int notFound) {
  if (exchanged != 0) return exchanged;
  if (reply.kind != Reply::Kind::kResult) return -EBADMSG;
  return reply.number == 0 ? 0 : -ErrnoOfResult(reply.number, notFound);
}

// Runs a C function's body, turning an allocation failure into -ENOMEM.
template <typename Body>
int Guarded(Body body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return -ENOMEM;
  }
}

// The old single-subscription interface's subscription. Never destroyed.
struct LegacySubscription {
  kavex::platform::Mutex mutex;
  Subscription* current = nullptr;
};

LegacySubscription& Legacy() {
  static LegacySubscription* const legacy = new LegacySubscription();
  return *legacy;
}

}  // namespace

struct usbmuxd_subscription_context {};

extern "C" {

int usbmuxd_events_subscribe(usbmuxd_subscription_context_t* context, usbmuxd_event_cb_t callback, void* user_data) {
  if (context == nullptr || callback == nullptr) return -EINVAL;
  Subscription* subscription = nullptr;
  const int result = Subscription::Start(callback, user_data, &subscription);
  if (result == 0) *context = reinterpret_cast<usbmuxd_subscription_context_t>(subscription);
  return result;
}

int usbmuxd_events_unsubscribe(usbmuxd_subscription_context_t context) {
  if (context == nullptr) return -EINVAL;
  return Subscription::Stop(reinterpret_cast<Subscription*>(context));
}

int usbmuxd_subscribe(usbmuxd_event_cb_t callback, void* user_data) {
  if (callback == nullptr) return -EINVAL;
  LegacySubscription& legacy = Legacy();
  Subscription* previous = nullptr;
  Subscription* next = nullptr;
  const int result = Subscription::Start(callback, user_data, &next);
  if (result != 0) return result;
  {
    std::lock_guard<kavex::platform::Mutex> lock(legacy.mutex);
    previous = legacy.current;
    legacy.current = next;
  }
  // A second subscribe replaces the first rather than leaving it running out of reach.
  if (previous != nullptr) Subscription::Stop(previous);
  return 0;
}

int usbmuxd_unsubscribe(void) {
  LegacySubscription& legacy = Legacy();
  Subscription* current = nullptr;
  {
    std::lock_guard<kavex::platform::Mutex> lock(legacy.mutex);
    current = legacy.current;
    legacy.current = nullptr;
  }
  return current == nullptr ? -EINVAL : Subscription::Stop(current);
}

int usbmuxd_get_device_list(usbmuxd_device_info_t** device_list) {
  if (device_list == nullptr) return -EINVAL;
  *device_list = nullptr;
  return Guarded([&] {
    Reply reply;
    const int result = Exchange(kavex::usbmux::ListDevicesRequest, &reply);
    if (result != 0) return result;
    if (reply.kind == Reply::Kind::kResult) return reply.number == 0 ? -EBADMSG : -ErrnoOfResult(reply.number, ENODEV);
    if (reply.kind != Reply::Kind::kDeviceList) return -EBADMSG;
    // A record of zeros closes the list, as callers that walk to it expect.
    const size_t count = reply.devices.size();
    auto* list = static_cast<usbmuxd_device_info_t*>(std::calloc(count + 1, sizeof(usbmuxd_device_info_t)));
    if (list == nullptr) return -ENOMEM;
    if (count > 0) std::memcpy(list, reply.devices.data(), count * sizeof(usbmuxd_device_info_t));
    *device_list = list;
    return static_cast<int>(count);
  });
}

int usbmuxd_device_list_free(usbmuxd_device_info_t** device_list) {
  // The pointer is cleared, so a second free of the same list frees nothing.
  if (device_list == nullptr) return 0;
  std::free(*device_list);
  *device_list = nullptr;
  return 0;
}

int usbmuxd_get_device(const char* udid, usbmuxd_device_info_t* device, enum usbmux_lookup_options options) {
  if (device == nullptr) return -EINVAL;
  int lookup = options == 0 ? DEVICE_LOOKUP_USBMUX : options;
  const bool wantUsb = (lookup & DEVICE_LOOKUP_USBMUX) != 0;
  const bool wantNetwork = (lookup & DEVICE_LOOKUP_NETWORK) != 0;
  const bool preferNetwork = (lookup & DEVICE_LOOKUP_PREFER_NETWORK) != 0;
  usbmuxd_device_info_t* list = nullptr;
  const int count = usbmuxd_get_device_list(&list);
  if (count < 0) return -ENODEV;
  auto allowed = [&](const usbmuxd_device_info_t& entry) {
    return (entry.conn_type == CONNECTION_TYPE_USB && wantUsb) ||
           (entry.conn_type == CONNECTION_TYPE_NETWORK && wantNetwork);
  };
  // The device is the first allowed entry of the UDID (any UDID without one); seen both on the
  // cable and on the network, the preferred connection wins.
  const usbmuxd_device_info_t* chosen = nullptr;
  for (int i = 0; i < count && chosen == nullptr; ++i) {
    if (allowed(list[i]) && (udid == nullptr || std::strcmp(list[i].udid, udid) == 0)) chosen = &list[i];
  }
  if (chosen != nullptr) {
    const int preferred = preferNetwork ? CONNECTION_TYPE_NETWORK : CONNECTION_TYPE_USB;
    for (int i = 0; i < count && chosen->conn_type != preferred; ++i) {
      if (allowed(list[i]) && list[i].conn_type == preferred && std::strcmp(list[i].udid, chosen->udid) == 0)
        chosen = &list[i];
    }
    *device = *chosen;
  }
  usbmuxd_device_list_free(&list);
  return chosen != nullptr ? 1 : 0;
}

int usbmuxd_get_device_by_udid(const char* udid, usbmuxd_device_info_t* device) {
  return usbmuxd_get_device(udid, device, DEVICE_LOOKUP_USBMUX);
}

int usbmuxd_connect(const uint32_t handle, const unsigned short tcp_port) {
  return Guarded([&] {
    Reply reply;
    std::unique_ptr<ServiceStream> stream;
    const int result = ResultOf(
        Exchange([&](uint32_t tag) { return kavex::usbmux::ConnectRequest(tag, handle, tcp_port); }, &reply, &stream),
        reply, ENODEV);
    if (result != 0) return result;
    return HandleTable::Instance().Add(std::make_shared<DeviceStream>(std::move(stream)));
  });
}

int usbmuxd_disconnect(int sfd) {
  const std::shared_ptr<DeviceStream> stream = HandleTable::Instance().Remove(sfd);
  if (!stream) return -EBADF;
  // A receiver or sender still holding the stream wakes and fails; the socket closes when the
  // last of them lets go.
  stream->closed.store(true);
  stream->stream->Shutdown();
  return 0;
}

int usbmuxd_send(int sfd, const char* data, uint32_t len, uint32_t* sent_bytes) {
  if (sent_bytes != nullptr) *sent_bytes = 0;
  if (data == nullptr && len > 0) return -EINVAL;
  const std::shared_ptr<DeviceStream> stream = HandleTable::Instance().Find(sfd);
  if (!stream) return -EBADF;
  std::lock_guard<kavex::platform::Mutex> lock(stream->sendMutex);
  size_t sent = 0;
  const int result =
      kavex::usbmux::SendAll(*stream->stream, reinterpret_cast<const uint8_t*>(data), len, kSendStallTimeoutMs, &sent);
  if (sent_bytes != nullptr) *sent_bytes = static_cast<uint32_t>(sent);
  return result;
}

int usbmuxd_recv_timeout(int sfd, char* data, uint32_t len, uint32_t* recv_bytes, unsigned int timeout) {
  if (recv_bytes != nullptr) *recv_bytes = 0;
  if (data == nullptr && len > 0) return -EINVAL;
  const std::shared_ptr<DeviceStream> stream = HandleTable::Instance().Find(sfd);
  if (!stream) return -EBADF;
  // 0 waits without limit, as the service's usual library does. A disconnect from another thread
  // ends the wait as a stop does, within a slice.
  const kavex::usbmux::Deadline deadline =
      kavex::usbmux::WaitDeadline(timeout == 0 ? -1 : static_cast<long long>(timeout));
  for (;;) {
    if (stream->closed.load()) return -EBADF;
    const long got = stream->stream->Receive(reinterpret_cast<uint8_t*>(data), len);
    if (got > 0) {
      if (recv_bytes != nullptr) *recv_bytes = static_cast<uint32_t>(got);
      return 0;
    }
    if (got == 0) return len == 0 ? 0 : -ECONNRESET;
    if (got != -EWOULDBLOCK && got != -EAGAIN && got != -EINTR) return static_cast<int>(got);
    const int waited = kavex::usbmux::WaitReadableUntil(*stream->stream, deadline, &stream->closed);
    if (waited == -ECANCELED && stream->closed.load()) return -EBADF;
    if (waited != 0) return waited;
  }
}

int usbmuxd_recv(int sfd, char* data, uint32_t len, uint32_t* recv_bytes) {
  return usbmuxd_recv_timeout(sfd, data, len, recv_bytes, kDefaultReceiveTimeoutMs);
}

int usbmuxd_read_buid(char** buid) {
  if (buid == nullptr) return -EINVAL;
  *buid = nullptr;
  return Guarded([&] {
    Reply reply;
    const int result = Exchange(kavex::usbmux::ReadBuidRequest, &reply);
    if (result != 0) return result;
    if (reply.kind == Reply::Kind::kResult) return reply.number == 0 ? -EBADMSG : -ErrnoOfResult(reply.number, ENOENT);
    if (reply.kind != Reply::Kind::kBuid) return -EBADMSG;
    char* copy = static_cast<char*>(std::malloc(reply.buid.size() + 1));
    if (copy == nullptr) return -ENOMEM;
    std::memcpy(copy, reply.buid.c_str(), reply.buid.size() + 1);
    *buid = copy;
    return 0;
  });
}

int usbmuxd_read_pair_record(const char* record_id, char** record_data, uint32_t* record_size) {
  if (record_id == nullptr || record_data == nullptr || record_size == nullptr) return -EINVAL;
  *record_data = nullptr;
  *record_size = 0;
  return Guarded([&] {
    Reply reply;
    const int result =
        Exchange([&](uint32_t tag) { return kavex::usbmux::ReadPairRecordRequest(tag, record_id); }, &reply);
    if (result != 0) return result;
    if (reply.kind == Reply::Kind::kResult) return reply.number == 0 ? -EBADMSG : -ErrnoOfResult(reply.number, ENOENT);
    if (reply.kind != Reply::Kind::kPairRecord) return -EBADMSG;
    // At least one byte, so an empty record is still a pointer to free.
    char* copy = static_cast<char*>(std::malloc(reply.data.size() + 1));
    if (copy == nullptr) return -ENOMEM;
    if (!reply.data.empty()) std::memcpy(copy, reply.data.data(), reply.data.size());
    *record_data = copy;
    *record_size = static_cast<uint32_t>(reply.data.size());
    return 0;
  });
}

int usbmuxd_save_pair_record_with_device_id(const char* record_id, uint32_t device_id, const char* record_data,
                                            uint32_t record_size) {
  if (record_id == nullptr || record_data == nullptr || record_size == 0) return -EINVAL;
  return Guarded([&] {
    Reply reply;
    const int result = Exchange(
        [&](uint32_t tag) {
          return kavex::usbmux::SavePairRecordRequest(tag, record_id, device_id,
                                                      reinterpret_cast<const uint8_t*>(record_data), record_size);
        },
        &reply);
    return ResultOf(result, reply, ENOENT);
  });
}

int usbmuxd_save_pair_record(const char* record_id, const char* record_data, uint32_t record_size) {
  return usbmuxd_save_pair_record_with_device_id(record_id, 0, record_data, record_size);
}

int usbmuxd_delete_pair_record(const char* record_id) {
  if (record_id == nullptr) return -EINVAL;
  return Guarded([&] {
    Reply reply;
    const int result =
        Exchange([&](uint32_t tag) { return kavex::usbmux::DeletePairRecordRequest(tag, record_id); }, &reply);
    return ResultOf(result, reply, ENOENT);
  });
}

// This client watches no directory: its event threads poll for the service about once a second,
// whatever the address. The setting is accepted for programs written for the usual library.
void libusbmuxd_set_use_inotify(int) {}

void libusbmuxd_set_debug_level(int level) { kavex::usbmux::SetDebugLevel(level); }

}  // extern "C"
