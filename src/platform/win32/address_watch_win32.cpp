#include "platform/address_watch.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

namespace kavex::platform {

namespace {

// Owns the event and the overlapped record of one outstanding NotifyAddrChange request.
class IpHelperWatch final : public AddressChangeWatch {
 public:
  IpHelperWatch() { overlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~IpHelperWatch() override {
    if (pending_) CancelIPChangeNotify(&overlapped_);
    if (overlapped_.hEvent != nullptr) CloseHandle(overlapped_.hEvent);
  }
  IpHelperWatch(const IpHelperWatch&) = delete;
  IpHelperWatch& operator=(const IpHelperWatch&) = delete;

  // Returns the request's result; ERROR_IO_PENDING is the normal answer.
  DWORD Request() {
    if (overlapped_.hEvent == nullptr) return GetLastError();
    HANDLE ignored = nullptr;
    const DWORD result = NotifyAddrChange(&ignored, &overlapped_);
    pending_ = result == ERROR_IO_PENDING;
    return result;
  }

  bool CheckAndRearm() override {
    if (WaitForSingleObject(overlapped_.hEvent, 0) != WAIT_OBJECT_0) return false;
    ResetEvent(overlapped_.hEvent);
    Request();
    return true;
  }

 private:
  OVERLAPPED overlapped_{};
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
