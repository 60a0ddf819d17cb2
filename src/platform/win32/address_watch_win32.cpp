#include "platform/address_watch.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

namespace kavex::platform {

namespace {

// How long the end waits for a cancelled request to complete. A cancel that found nothing to
// cancel leaves only a request that is completing right now, or one the system never completes
// (Wine's).
constexpr DWORD kCancelledWaitMs = 1000;
constexpr DWORD kNotCancelledWaitMs = 100;

// Owns the event and the overlapped record of one outstanding NotifyAddrChange request. The system
// writes the record and signals the event when the request completes, cancelled or not: while it
// has not, neither may be freed. A request that does not complete within the wait keeps both for
// the rest of the process (a few bytes and a handle per watch), which is better than memory the
// system may still write into.
class IpHelperWatch final : public AddressChangeWatch {
 public:
  IpHelperWatch() : overlapped_(new OVERLAPPED{}) { overlapped_->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~IpHelperWatch() override {
    if (pending_ && !HasOverlappedIoCompleted(overlapped_)) {
      const bool cancelled = CancelIPChangeNotify(overlapped_) != FALSE;
      WaitForSingleObject(overlapped_->hEvent, cancelled ? kCancelledWaitMs : kNotCancelledWaitMs);
      if (!HasOverlappedIoCompleted(overlapped_)) return;  // left to the system, see above
    }
    if (overlapped_->hEvent != nullptr) CloseHandle(overlapped_->hEvent);
    delete overlapped_;
  }
  IpHelperWatch(const IpHelperWatch&) = delete;
  IpHelperWatch& operator=(const IpHelperWatch&) = delete;

  // Returns the request's result; ERROR_IO_PENDING is the normal answer.
  DWORD Request() {
    if (overlapped_->hEvent == nullptr) return GetLastError();
    HANDLE ignored = nullptr;
    const DWORD result = NotifyAddrChange(&ignored, overlapped_);
    pending_ = result == ERROR_IO_PENDING;
    return result;
  }

  bool CheckAndRearm() override {
    if (WaitForSingleObject(overlapped_->hEvent, 0) != WAIT_OBJECT_0) return false;
    ResetEvent(overlapped_->hEvent);
    Request();
    return true;
  }

 private:
  OVERLAPPED* const overlapped_;  // see the class comment for when it is freed
  bool pending_ = false;
};

}  // namespace

std::unique_ptr<AddressChangeWatch> AddressChangeWatch::Start(int* error) {
  auto watch = std::make_unique<IpHelperWatch>();
  const DWORD result = watch->Request();
  if (result != ERROR_IO_PENDING) {
    if (error != nullptr) *error = static_cast<int>(result);
    return nullptr;
  }
  return watch;
}

SocketLibrary::SocketLibrary() {
  WSADATA data;
  started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

SocketLibrary::~SocketLibrary() {
  if (started_) WSACleanup();
}

}  // namespace kavex::platform
