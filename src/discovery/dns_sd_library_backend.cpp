#include "discovery/dns_sd_library_backend.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "discovery/dns_sd_instance_name.h"
#include "discovery/phone_list.h"
#include "platform/foreign_socket.h"
#include "protocol/error_log.h"

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

}  // namespace

bool DnsSdLibraryBackend::Start(NetworkPhoneListener& listener, const std::atomic<bool>& running) {
  End();
  listener_ = &listener;
  running_ = &running;
  DNSServiceRef browse = nullptr;
  const DNSServiceErrorType error =
      calls_.browse(&browse, 0, 0, kServiceType, nullptr, &OnBrowseReply, this);
  if (error != kDNSServiceErr_NoError || browse == nullptr) return false;
  active_.push_back(browse);
  return true;
}

void DnsSdLibraryBackend::Service() {
  // By position, reading the count afresh each time: the replies add references (and remove
  // answered look-ups) while this runs.
  for (size_t i = 0; i < active_.size(); ++i) {
    if (running_ == nullptr || !running_->load()) return;
    DNSServiceRef ref = active_[i];
    const intptr_t socket = calls_.refSockFd(ref);
    if (socket == -1) continue;
    if (platform::WaitForeignSocketReadable(socket, kPollMs)) calls_.processResult(ref);
  }
}

void DnsSdLibraryBackend::End() {
  for (DNSServiceRef ref : active_) calls_.refDeallocate(ref);
  active_.clear();
  pending_.clear();
}

void DnsSdLibraryBackend::Release(DNSServiceRef ref) {
  if (ref == nullptr) return;
  auto it = std::find(active_.begin(), active_.end(), ref);
  if (it == active_.end()) return;
  active_.erase(it);
  calls_.refDeallocate(ref);
  // A released value may come back for a new reference; no look-up may name it any more.
  for (auto& entry : pending_)
    if (entry.second.resolve == ref) entry.second.resolve = nullptr;
}

void KAVEX_DNSSD_API DnsSdLibraryBackend::OnBrowseReply(DNSServiceRef, DNSServiceFlags,
                                                        uint32_t interfaceIndex,
                                                        DNSServiceErrorType errorCode,
                                                        const char* serviceName, const char* regtype,
                                                        const char* replyDomain, void* context) {
  if (errorCode != kDNSServiceErr_NoError || context == nullptr) return;
  // Added and removed instances alike: a phone that went away and came back shows up as both.
  static_cast<DnsSdLibraryBackend*>(context)->HandleBrowse(interfaceIndex, serviceName, regtype,
                                                           replyDomain);
}

void KAVEX_DNSSD_API DnsSdLibraryBackend::OnResolveReply(DNSServiceRef sdRef, DNSServiceFlags,
                                                         uint32_t interfaceIndex,
                                                         DNSServiceErrorType errorCode,
                                                         const char* fullname,
                                                         const char* hosttarget, uint16_t port,
                                                         uint16_t, const unsigned char*,
                                                         void* context) {
  if (errorCode != kDNSServiceErr_NoError || context == nullptr) return;
  static_cast<DnsSdLibraryBackend*>(context)->HandleResolve(sdRef, interfaceIndex, fullname,
                                                            hosttarget, port);
}

void KAVEX_DNSSD_API DnsSdLibraryBackend::OnAddressReply(DNSServiceRef sdRef, DNSServiceFlags,
                                                         uint32_t, DNSServiceErrorType errorCode,
                                                         const char*, const sockaddr* address,
                                                         uint32_t, void* context) {
  if (errorCode != kDNSServiceErr_NoError || context == nullptr) return;
  static_cast<DnsSdLibraryBackend*>(context)->HandleAddress(sdRef, address);
}

void DnsSdLibraryBackend::HandleBrowse(uint32_t interfaceIndex, const char* serviceName,
                                       const char* regtype, const char* replyDomain) {
  DNSServiceRef resolve = nullptr;
  const DNSServiceErrorType error = calls_.resolve(&resolve, 0, interfaceIndex, serviceName, regtype,
                                                   replyDomain, &OnResolveReply, this);
  if (error == kDNSServiceErr_NoError && resolve != nullptr) active_.push_back(resolve);
}

void DnsSdLibraryBackend::HandleResolve(DNSServiceRef resolveRef, uint32_t interfaceIndex,
                                        const char* fullname, const char* hosttarget,
                                        uint16_t portNetworkOrder) {
  if (InstanceNameLength(fullname, kInstanceIdLength) < kInstanceIdLength) {
    ErrorLog::RecordError("mc", 488);
    return;
  }
  if (hosttarget == nullptr) return;
  const PhoneId id = PhoneIdFromInstanceName(fullname);
  DNSServiceRef lookup = nullptr;
  const DNSServiceErrorType error =
      calls_.getAddrInfo(&lookup, 0, interfaceIndex, kDNSServiceProtocol_Both, hosttarget,
                         &OnAddressReply, this);
  if (error != kDNSServiceErr_NoError || lookup == nullptr) return;
  PendingLookup entry;
  entry.resolve = resolveRef;
  entry.portNetworkOrder = portNetworkOrder;
  entry.id = id;
  pending_.emplace(lookup, entry);  // an entry already under this reference stays
  active_.push_back(lookup);
}

void DnsSdLibraryBackend::HandleAddress(DNSServiceRef lookupRef, const sockaddr* address) {
  DNSServiceRef resolveRef = nullptr;
  auto it = pending_.find(lookupRef);
  if (it != pending_.end()) {
    const PendingLookup entry = it->second;
    pending_.erase(it);
    resolveRef = entry.resolve;
    SocketAddress peer;
    if (running_ != nullptr && running_->load() && listener_ != nullptr &&
        platform::SocketAddressFromNative(address, &peer)) {
      listener_->OnPhoneFound(entry.id, static_cast<uint16_t>(kKindServiceDiscoveryPhone), "", peer,
                              HostOrder(entry.portNetworkOrder));
    }
  }
  // The first address answers the look-up: later ones (the other family, say) are not waited for.
  Release(lookupRef);
  Release(resolveRef);
}

}  // namespace kavex
