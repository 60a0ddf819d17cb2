#include "discovery/dns_sd_library_backend.h"

#include <cstring>

#include "common/error_log.h"
#include "common/trace.h"
#include "discovery/dns_sd_instance_name.h"
#include "discovery/phone_list.h"
#include "platform/clock.h"
#include "platform/foreign_socket.h"

namespace kavex {

namespace {

using namespace dnssd;

// The domain is left to the library (the default browse domains).
constexpr const char* kServiceType = "_kavexwebcam._tcp.";
constexpr int kPollMs = 10;

uint16_t HostOrder(uint16_t networkOrder) {
  uint8_t bytes[2];
  std::memcpy(bytes, &networkOrder, sizeof bytes);
  return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

std::string Text(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

DnsSdLibraryBackend::DnsSdLibraryBackend(const DnsSdLibraryCalls& calls, Clock& clock) : calls_(calls), clock_(clock) {}

bool DnsSdLibraryBackend::Start(PhoneSightingListener& listener, const std::atomic<bool>& running) {
  End();
  listener_ = &listener;
  running_ = &running;
  fullLogged_ = false;
  DNSServiceRef browse = nullptr;
  const DNSServiceErrorType error = calls_.browse(&browse, 0, 0, kServiceType, nullptr, &OnBrowseReply, this);
  if (error != kDNSServiceErr_NoError || browse == nullptr) return false;
  browse_ = browse;
  return true;
}

void DnsSdLibraryBackend::Service() {
  if (browse_ == nullptr) return;
  ReleaseExpired();
  Poll(browse_);
  // By position, reading the count afresh each time: the replies add queries and release answered
  // ones while this runs.
  for (size_t i = 0; i < queries_.size(); ++i) Poll(queries_[i].ref);
}

void DnsSdLibraryBackend::Poll(DNSServiceRef ref) {
  if (running_ == nullptr || !running_->load()) return;
  const intptr_t socket = calls_.refSockFd(ref);
  if (socket == -1) return;
  if (platform::WaitForeignSocketReadable(socket, kPollMs)) calls_.processResult(ref);
}

void DnsSdLibraryBackend::End() {
  for (const Query& query : queries_) calls_.refDeallocate(query.ref);
  queries_.clear();
  if (browse_ != nullptr) calls_.refDeallocate(browse_);
  browse_ = nullptr;
}

DnsSdLibraryBackend::Query* DnsSdLibraryBackend::FindQuery(DNSServiceRef ref) {
  for (Query& query : queries_)
    if (query.ref == ref) return &query;
  return nullptr;
}

void DnsSdLibraryBackend::Release(DNSServiceRef ref) {
  for (auto it = queries_.begin(); it != queries_.end(); ++it) {
    if (it->ref != ref) continue;
    queries_.erase(it);
    calls_.refDeallocate(ref);
    return;
  }
}

void DnsSdLibraryBackend::ReleaseExpired() {
  const double now = clock_.Now();
  for (size_t i = 0; i < queries_.size();) {
    if (now >= queries_[i].deadline) {
      const DNSServiceRef ref = queries_[i].ref;
      queries_.erase(queries_.begin() + static_cast<std::ptrdiff_t>(i));
      calls_.refDeallocate(ref);
    } else {
      ++i;
    }
  }
}

void KAVEX_DNSSD_API DnsSdLibraryBackend::OnBrowseReply(DNSServiceRef, DNSServiceFlags, uint32_t interfaceIndex,
                                                        DNSServiceErrorType errorCode, const char* serviceName,
                                                        const char* regtype, const char* replyDomain, void* context) {
  if (errorCode != kDNSServiceErr_NoError || context == nullptr) return;
  // Added and removed instances alike: a phone that went away and came back shows up as both.
  static_cast<DnsSdLibraryBackend*>(context)->HandleBrowse(interfaceIndex, serviceName, regtype, replyDomain);
}

void KAVEX_DNSSD_API DnsSdLibraryBackend::OnResolveReply(DNSServiceRef sdRef, DNSServiceFlags, uint32_t interfaceIndex,
                                                         DNSServiceErrorType errorCode, const char* fullname,
                                                         const char* hosttarget, uint16_t port, uint16_t,
                                                         const unsigned char*, void* context) {
  if (errorCode != kDNSServiceErr_NoError || context == nullptr) return;
  static_cast<DnsSdLibraryBackend*>(context)->HandleResolve(sdRef, interfaceIndex, fullname, hosttarget, port);
}

void KAVEX_DNSSD_API DnsSdLibraryBackend::OnAddressReply(DNSServiceRef sdRef, DNSServiceFlags, uint32_t,
                                                         DNSServiceErrorType errorCode, const char*,
                                                         const sockaddr* address, uint32_t, void* context) {
  if (errorCode != kDNSServiceErr_NoError || context == nullptr) return;
  static_cast<DnsSdLibraryBackend*>(context)->HandleAddress(sdRef, address);
}

void DnsSdLibraryBackend::HandleBrowse(uint32_t interfaceIndex, const char* serviceName, const char* regtype,
                                       const char* replyDomain) {
  // The same instance again (another interface, or gone and back) while it is being resolved or
  // looked up: the query under way answers for it.
  std::string instance = Text(serviceName) + '\n' + Text(regtype) + '\n' + Text(replyDomain);
  for (const Query& query : queries_)
    if (query.instance == instance) return;
  if (queries_.size() >= kMaxQueries) {
    if (!fullLogged_) ErrorLog::Record(error_codes::kServiceQueriesFull);
    fullLogged_ = true;
    return;
  }
  DNSServiceRef resolve = nullptr;
  const DNSServiceErrorType error =
      calls_.resolve(&resolve, 0, interfaceIndex, serviceName, regtype, replyDomain, &OnResolveReply, this);
  if (error != kDNSServiceErr_NoError || resolve == nullptr) return;
  Query query;
  query.ref = resolve;
  query.deadline = clock_.Now() + kQueryLifetime;
  query.instance = std::move(instance);
  queries_.push_back(std::move(query));
}

void DnsSdLibraryBackend::HandleResolve(DNSServiceRef resolveRef, uint32_t interfaceIndex, const char* fullname,
                                        const char* hosttarget, uint16_t portNetworkOrder) {
  Query* resolve = FindQuery(resolveRef);
  if (resolve == nullptr || resolve->lookup) return;
  // The first answer settles the resolve, whatever comes of it: the reference goes at once.
  std::string instance = std::move(resolve->instance);
  Release(resolveRef);
  if (InstanceNameLength(fullname, kInstanceIdLength) < kInstanceIdLength) {
    ErrorLog::Record(error_codes::kServiceNameTooShort);
    return;
  }
  if (hosttarget == nullptr) return;
  const PhoneId id = PhoneIdFromInstanceName(fullname);
  DNSServiceRef lookupRef = nullptr;
  const DNSServiceErrorType error =
      calls_.getAddrInfo(&lookupRef, 0, interfaceIndex, kDNSServiceProtocol_Both, hosttarget, &OnAddressReply, this);
  if (error != kDNSServiceErr_NoError || lookupRef == nullptr) return;
  Query lookup;
  lookup.ref = lookupRef;
  lookup.lookup = true;
  lookup.deadline = clock_.Now() + kQueryLifetime;
  lookup.instance = std::move(instance);
  lookup.id = id;
  lookup.portNetworkOrder = portNetworkOrder;
  queries_.push_back(std::move(lookup));
}

void DnsSdLibraryBackend::HandleAddress(DNSServiceRef lookupRef, const sockaddr* address) {
  Query* lookup = FindQuery(lookupRef);
  if (lookup == nullptr || !lookup->lookup) return;
  const PhoneId id = lookup->id;
  const uint16_t port = HostOrder(lookup->portNetworkOrder);
  // The first address answers the look-up: later ones (the other family, say) are not waited for.
  Release(lookupRef);
  SocketAddress peer;
  if (running_ != nullptr && running_->load() && listener_ != nullptr &&
      platform::SocketAddressFromNative(address, &peer)) {
    if (Trace::Wants(TraceLevel::kDebug)) {
      SocketAddress session = peer;
      session.port = port;
      KAVEX_TRACE_DEBUG("discovery", "DNS-SD library resolved a phone at %s", session.ToString().c_str());
    }
    listener_->OnPhoneFound(
        PhoneSighting::Network(id, static_cast<uint16_t>(kKindServiceDiscoveryPhone), "", peer, port));
  }
}

}  // namespace kavex
