// DNS-SD replies as they reach the engine through the DNS-SD library back-end: a fake library
// delivers browse replies (instance names, types, domains), resolve replies (full names, host
// names, ports, TXT records) and address replies (socket addresses of any family, or none) in the
// order and with the errors the input chooses, across passes of the discovery thread on a clock the
// input moves.
//
// Besides the sanitizers' checks: the back-end never holds more than its bound of queries, never
// uses a reference after releasing it, releases every one by its End; each phone it reports has
// the identifier its instance name spells, the port the resolve gave (in host order) and an IPv4 or
// IPv6 address.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "discovery/dns_sd_instance_name.h"
#include "discovery/dns_sd_library_backend.h"
#include "support/fake_error_log.h"
#include "support/input_reader.h"

namespace kavex {
namespace {

using namespace dnssd;

void Check(bool condition) {
  if (!condition) std::abort();
}

class InputClock final : public Clock {
 public:
  double Now() override { return now; }
  double now = 1000.0;
};

// One reference the fake library handed out.
struct FakeRef {
  enum class Kind { kBrowse, kResolve, kLookup } kind = Kind::kBrowse;
  bool live = true;
  DNSServiceBrowseReply browse = nullptr;
  DNSServiceResolveReply resolve = nullptr;
  DNSServiceGetAddrInfoReply lookup = nullptr;
  void* context = nullptr;
  // Look-ups: the phone and port of the resolve reply that started it.
  PhoneId id;
  uint16_t port = 0;  // network order, as the reply gave it
};

// The library. Everything it says comes from the input; every reference it hands out stays
// allocated for the whole input so that a use after release is caught as such.
struct FakeLibrary {
  fuzz::InputReader* input = nullptr;
  std::vector<std::unique_ptr<FakeRef>> refs;
  size_t live = 0;
  // While a resolve reply is delivered: what it said, for the look-up it starts.
  const char* resolvingName = nullptr;
  uint16_t resolvingPort = 0;
  // While an address reply is delivered: what the report must say.
  const FakeRef* answering = nullptr;

  DNSServiceRef New(FakeRef::Kind kind, void* context) {
    refs.push_back(std::make_unique<FakeRef>());
    refs.back()->kind = kind;
    refs.back()->context = context;
    ++live;
    return reinterpret_cast<DNSServiceRef>(refs.back().get());
  }
  FakeRef& Of(DNSServiceRef ref) {
    FakeRef* fake = reinterpret_cast<FakeRef*>(ref);
    bool known = false;
    for (const auto& r : refs) known = known || r.get() == fake;
    Check(known && fake->live);
    return *fake;
  }
  // Names as a responder may give them: any bytes up to a NUL, sometimes no name at all.
  std::string Name() { return input->Text(300); }
  bool NullName() { return input->U8() == 0xff; }
};

FakeLibrary* library = nullptr;

DNSServiceErrorType Browse(DNSServiceRef* sdRef, DNSServiceFlags, uint32_t, const char* regtype, const char*,
                           DNSServiceBrowseReply callBack, void* context) {
  Check(regtype != nullptr && callBack != nullptr);
  *sdRef = library->New(FakeRef::Kind::kBrowse, context);
  library->Of(*sdRef).browse = callBack;
  return kDNSServiceErr_NoError;
}

DNSServiceErrorType Resolve(DNSServiceRef* sdRef, DNSServiceFlags, uint32_t, const char*, const char*, const char*,
                            DNSServiceResolveReply callBack, void* context) {
  if (library->input->U8() == 0xff) return -65540;  // refused
  *sdRef = library->New(FakeRef::Kind::kResolve, context);
  library->Of(*sdRef).resolve = callBack;
  return kDNSServiceErr_NoError;
}

DNSServiceErrorType GetAddrInfo(DNSServiceRef* sdRef, DNSServiceFlags, uint32_t, DNSServiceProtocol,
                                const char* hostname, DNSServiceGetAddrInfoReply callBack, void* context) {
  Check(hostname != nullptr);
  if (library->input->U8() == 0xff) return -65540;
  Check(library->resolvingName != nullptr);  // only a resolve reply starts a look-up
  *sdRef = library->New(FakeRef::Kind::kLookup, context);
  FakeRef& ref = library->Of(*sdRef);
  ref.lookup = callBack;
  ref.id = PhoneIdFromInstanceName(library->resolvingName);
  ref.port = library->resolvingPort;
  return kDNSServiceErr_NoError;
}

intptr_t RefSockFd(DNSServiceRef sdRef) {
  library->Of(sdRef);
  return 3;
}

void RefDeallocate(DNSServiceRef sdRef) {
  FakeRef& ref = library->Of(sdRef);
  ref.live = false;
  --library->live;
}

// Delivers what the input says is waiting on this reference: up to four replies, stopping when the
// back-end lets the reference go from inside one.
DNSServiceErrorType ProcessResult(DNSServiceRef sdRef) {
  fuzz::InputReader& in = *library->input;
  const int replies = static_cast<int>(in.Below(5));
  FakeRef& ref = library->Of(sdRef);
  for (int i = 0; i < replies && ref.live; ++i) {
    const DNSServiceErrorType error = in.U8() == 0xff ? -65537 : 0;
    const uint32_t interfaceIndex = in.U8();
    switch (ref.kind) {
      case FakeRef::Kind::kBrowse: {
        const bool nullName = library->NullName();
        const std::string name = library->Name();
        const std::string type = (in.U8() & 1) != 0 ? "_kavexwebcam._tcp." : library->Name();
        const std::string domain = (in.U8() & 1) != 0 ? "local." : library->Name();
        ref.browse(sdRef, kDNSServiceFlagsAdd, interfaceIndex, error, nullName ? nullptr : name.c_str(), type.c_str(),
                   domain.c_str(), ref.context);
        break;
      }
      case FakeRef::Kind::kResolve: {
        const bool nullFull = library->NullName();
        const bool nullHost = library->NullName();
        const std::string full = library->Name();
        const std::string host = library->Name();
        const uint16_t port = in.U16();
        const std::string txt = in.Text(300);
        const std::vector<unsigned char> txtBytes(txt.begin(), txt.end());
        library->resolvingName = nullFull ? nullptr : full.c_str();
        library->resolvingPort = port;
        ref.resolve(sdRef, 0, interfaceIndex, error, nullFull ? nullptr : full.c_str(),
                    nullHost ? nullptr : host.c_str(), port, static_cast<uint16_t>(txtBytes.size()),
                    txtBytes.empty() ? nullptr : txtBytes.data(), ref.context);
        library->resolvingName = nullptr;
        break;
      }
      case FakeRef::Kind::kLookup: {
        // Exactly the family's own size, so a read past it is caught.
        const int family = static_cast<int>(in.Below(4));
        std::unique_ptr<uint8_t[]> address;
        if (family == 1) {
          sockaddr_in v4{};
          v4.sin_family = AF_INET;
          v4.sin_port = in.U16();
          v4.sin_addr.s_addr = in.U32();
          address.reset(new uint8_t[sizeof v4]);
          std::memcpy(address.get(), &v4, sizeof v4);
        } else if (family == 2) {
          sockaddr_in6 v6{};
          v6.sin6_family = AF_INET6;
          v6.sin6_scope_id = in.U32();
          v6.sin6_flowinfo = in.U32();
          for (int b = 0; b < 16; ++b) v6.sin6_addr.s6_addr[b] = in.U8();
          address.reset(new uint8_t[sizeof v6]);
          std::memcpy(address.get(), &v6, sizeof v6);
        } else if (family == 3) {
          sockaddr other{};
          // Any family but IPv6, whose record is longer than a plain sockaddr: the library gives
          // each family's address in that family's own layout.
          other.sa_family = in.U8();
          if (other.sa_family == AF_INET6) other.sa_family = AF_UNIX;
          address.reset(new uint8_t[sizeof other]);
          std::memcpy(address.get(), &other, sizeof other);
        }
        const std::string host = library->Name();
        library->answering = &ref;
        ref.lookup(sdRef, kDNSServiceFlagsAdd, interfaceIndex, error, host.c_str(),
                   reinterpret_cast<const sockaddr*>(address.get()), 120, ref.context);
        library->answering = nullptr;
        break;
      }
    }
  }
  return kDNSServiceErr_NoError;
}

// What the back-end reports, checked against what the resolves said.
class Listener final : public PhoneSightingListener {
 public:
  size_t reports = 0;

  void OnPhoneFound(const PhoneSighting& sighting) override {
    const FakeRef* lookup = library->answering;
    Check(sighting.road == PhoneRoad::kNetwork);
    Check(lookup != nullptr && sighting.id == lookup->id);
    Check(sighting.port == static_cast<uint16_t>(ntohs(lookup->port)));
    Check(sighting.kind == 7 && sighting.name.empty());
    Check(sighting.peer.family == SocketAddress::Family::kIpv4 || sighting.peer.family == SocketAddress::Family::kIpv6);
    Check(!sighting.peer.ToString().empty());
    ++reports;
  }
  void OnPhoneLost(const PhoneSighting&) override { Check(false); }  // the network reports no loss
};

}  // namespace
}  // namespace kavex

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kavex;
  fuzz::InputReader input(data, size);
  FakeLibrary fake;
  fake.input = &input;
  library = &fake;
  fuzz::ClearRecorded();

  const DnsSdLibraryCalls calls{&Browse, &Resolve, &GetAddrInfo, &RefSockFd, &ProcessResult, &RefDeallocate};
  InputClock clock;
  std::atomic<bool> running{true};
  Listener listener;
  {
    DnsSdLibraryBackend backend(calls, clock);
    Check(backend.Start(listener, running));
    for (int pass = 0; pass < 64 && input.remaining() > 0; ++pass) {
      clock.now += input.Below(13) * 0.5;
      if (input.U8() == 0xfe) running.store(!running.load());
      backend.Service();
      Check(backend.queryCount() <= DnsSdLibraryBackend::kMaxQueries);
      Check(fake.live == backend.queryCount() + 1);  // the browse and the queries, nothing else
    }
    if ((input.U8() & 1) != 0) {
      backend.End();
      Check(fake.live == 0);
    }
  }
  Check(fake.live == 0);  // the destructor releases everything too
  library = nullptr;
  return 0;
}
