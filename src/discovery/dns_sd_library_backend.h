#pragma once
#include <atomic>
#include <map>
#include <vector>

#include "common/phone_id.h"
#include "discovery/dns_sd_api.h"
#include "discovery/phone_listeners.h"

namespace kavex {

// DNS service discovery through the DNS-SD library: browse for the phones' service, resolve each
// instance to its host and port, look the host's address up, report the phone. The library's
// sockets are polled here and its replies run inside DNSServiceProcessResult, so everything
// happens on the thread that calls Start, Service and End (the network discovery thread).
// Owns: the references it creates (the active references), until their look-up has answered or
// End releases them.
class DnsSdLibraryBackend {
 public:
  explicit DnsSdLibraryBackend(const DnsSdLibraryCalls& calls) : calls_(calls) {}
  ~DnsSdLibraryBackend() { End(); }
  DnsSdLibraryBackend(const DnsSdLibraryBackend&) = delete;
  DnsSdLibraryBackend& operator=(const DnsSdLibraryBackend&) = delete;

  // Starts the browse; false when it cannot start (no library, no responder), and then this
  // back-end does nothing in this run. Reports go to listener while running is set.
  bool Start(NetworkPhoneListener& listener, const std::atomic<bool>& running);
  // Waits up to 10 ms on each active reference's socket and lets the library deliver what is
  // waiting there. Stops early when running is cleared.
  void Service();
  // Releases every reference and forgets the look-ups.
  void End();

  size_t activeReferenceCount() const { return active_.size(); }

 private:
  struct PendingLookup {
    dnssd::DNSServiceRef resolve = nullptr;  // null once that reference has been released
    uint16_t portNetworkOrder = 0;           // as the library gave it
    PhoneId id;
  };

  static void KAVEX_DNSSD_API OnBrowseReply(dnssd::DNSServiceRef sdRef, dnssd::DNSServiceFlags flags,
                                            uint32_t interfaceIndex,
                                            dnssd::DNSServiceErrorType errorCode,
                                            const char* serviceName, const char* regtype,
                                            const char* replyDomain, void* context);
  static void KAVEX_DNSSD_API OnResolveReply(dnssd::DNSServiceRef sdRef,
                                             dnssd::DNSServiceFlags flags, uint32_t interfaceIndex,
                                             dnssd::DNSServiceErrorType errorCode,
                                             const char* fullname, const char* hosttarget,
                                             uint16_t port, uint16_t txtLen,
                                             const unsigned char* txtRecord, void* context);
  static void KAVEX_DNSSD_API OnAddressReply(dnssd::DNSServiceRef sdRef,
                                             dnssd::DNSServiceFlags flags, uint32_t interfaceIndex,
                                             dnssd::DNSServiceErrorType errorCode,
                                             const char* hostname, const sockaddr* address,
                                             uint32_t ttl, void* context);

  void HandleBrowse(uint32_t interfaceIndex, const char* serviceName, const char* regtype,
                    const char* replyDomain);
  void HandleResolve(dnssd::DNSServiceRef resolveRef, uint32_t interfaceIndex, const char* fullname,
                     const char* hosttarget, uint16_t portNetworkOrder);
  void HandleAddress(dnssd::DNSServiceRef lookupRef, const sockaddr* address);
  // Takes the reference out of the active references and releases it, if it is there.
  void Release(dnssd::DNSServiceRef ref);

  const DnsSdLibraryCalls calls_;
  NetworkPhoneListener* listener_ = nullptr;
  const std::atomic<bool>* running_ = nullptr;
  std::vector<dnssd::DNSServiceRef> active_;
  std::map<dnssd::DNSServiceRef, PendingLookup> pending_;  // by address look-up reference
};

}  // namespace kavex
