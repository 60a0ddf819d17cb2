#pragma once
#include <atomic>
#include <string>
#include <vector>

#include "common/phone_id.h"
#include "discovery/dns_sd_api.h"
#include "discovery/dns_sd_backend.h"
#include "platform/clock.h"

namespace kavex {

// DNS service discovery through the DNS-SD library: browse for the phones' service, resolve each
// instance to its host and port, look the host's address up, report the phone. The library's
// sockets are polled here and its replies run inside DNSServiceProcessResult, so everything
// happens on the thread that calls Start, Service and End (the network discovery thread).
// Owns: the browse reference of a run and the resolve and look-up references it starts (the
// queries). Every host on the LAN can advertise instances, and each query is a connection to the
// responder plus 10 ms of polling per pass, so queries are bounded: at most kMaxQueries at once
// (a browse reply that finds them full is not resolved), each released when it has answered or
// kQueryLifetime seconds after it started, whichever comes first, and at most one per instance.
class DnsSdLibraryBackend final : public DnsSdBackend {
 public:
  static constexpr const char* kName = "the DNS-SD library";
  static constexpr size_t kMaxQueries = 16;
  static constexpr double kQueryLifetime = 10.0;  // seconds

  // clock: what the queries' lifetimes are measured on; it must outlive the back-end.
  explicit DnsSdLibraryBackend(const DnsSdLibraryCalls& calls, Clock& clock = EngineClock::AsClock());
  ~DnsSdLibraryBackend() override { End(); }
  DnsSdLibraryBackend(const DnsSdLibraryBackend&) = delete;
  DnsSdLibraryBackend& operator=(const DnsSdLibraryBackend&) = delete;

  // Starts the browse; false when it cannot start (no library, no responder), and then this
  // back-end does nothing in this run. Reports go to listener while running is set.
  const char* name() const override { return kName; }
  bool Start(PhoneSightingListener& listener, const std::atomic<bool>& running) override;
  // Releases the queries whose time is up, then waits up to 10 ms on each reference's socket and
  // lets the library deliver what is waiting there. Stops early when running is cleared.
  // A browse that answers never goes quiet: the budget is not used.
  void Service();
  void Service(std::atomic<int>& /*rebrowseBudget*/) override { Service(); }
  // Releases every reference.
  void End() override;

  size_t queryCount() const { return queries_.size(); }

 private:
  struct Query {
    dnssd::DNSServiceRef ref = nullptr;
    bool lookup = false;  // an address look-up; else a resolve
    double deadline = 0.0;
    std::string instance;           // the browse reply's name, type and domain
    PhoneId id;                     // look-ups: the phone the resolve named
    uint16_t portNetworkOrder = 0;  // look-ups: as the library gave it
  };

  static void KAVEX_DNSSD_API OnBrowseReply(dnssd::DNSServiceRef sdRef, dnssd::DNSServiceFlags flags,
                                            uint32_t interfaceIndex, dnssd::DNSServiceErrorType errorCode,
                                            const char* serviceName, const char* regtype, const char* replyDomain,
                                            void* context);
  static void KAVEX_DNSSD_API OnResolveReply(dnssd::DNSServiceRef sdRef, dnssd::DNSServiceFlags flags,
                                             uint32_t interfaceIndex, dnssd::DNSServiceErrorType errorCode,
                                             const char* fullname, const char* hosttarget, uint16_t port,
                                             uint16_t txtLen, const unsigned char* txtRecord, void* context);
  static void KAVEX_DNSSD_API OnAddressReply(dnssd::DNSServiceRef sdRef, dnssd::DNSServiceFlags flags,
                                             uint32_t interfaceIndex, dnssd::DNSServiceErrorType errorCode,
                                             const char* hostname, const sockaddr* address, uint32_t ttl,
                                             void* context);

  void HandleBrowse(uint32_t interfaceIndex, const char* serviceName, const char* regtype, const char* replyDomain);
  void HandleResolve(dnssd::DNSServiceRef resolveRef, uint32_t interfaceIndex, const char* fullname,
                     const char* hosttarget, uint16_t portNetworkOrder);
  void HandleAddress(dnssd::DNSServiceRef lookupRef, const sockaddr* address);
  Query* FindQuery(dnssd::DNSServiceRef ref);
  // Takes the query out and releases its reference, if it is there.
  void Release(dnssd::DNSServiceRef ref);
  void ReleaseExpired();
  void Poll(dnssd::DNSServiceRef ref);

  const DnsSdLibraryCalls calls_;
  Clock& clock_;
  PhoneSightingListener* listener_ = nullptr;
  const std::atomic<bool>* running_ = nullptr;
  dnssd::DNSServiceRef browse_ = nullptr;
  std::vector<Query> queries_;  // in the order they started
  bool fullLogged_ = false;     // this run has recorded that the queries were full
};

}  // namespace kavex
