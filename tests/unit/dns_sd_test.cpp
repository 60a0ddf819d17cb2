// DNS service discovery: identifiers from instance names, the choice of back-end, and the system
// back-end driven through a fake of the system's DNS service functions whose callbacks come on
// threads of their own, as the system's do.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#include <windns.h>

#include <cstddef>
#endif

#include "common/error_log.h"
#include "discovery/dns_sd_discovery_impl.h"
#include "discovery/dns_sd_instance_name.h"
#include "discovery/dns_sd_library_backend.h"
#include "discovery/dns_sd_system_api.h"
#include "dns_sd_ids.h"
#include "fake_clock.h"
#include "settings_fixture.h"
#include "sighting_recorder.h"
#include "wait_until.h"

namespace kavex {
namespace {

using namespace dnsapi;

#if defined(_WIN32)
// The declarations the engine uses against the SDK's own.
static_assert(sizeof(dnsapi::DNS_SERVICE_INSTANCE) == sizeof(::DNS_SERVICE_INSTANCE), "");
static_assert(offsetof(dnsapi::DNS_SERVICE_INSTANCE, wPort) == offsetof(::DNS_SERVICE_INSTANCE, wPort), "");
static_assert(offsetof(dnsapi::DNS_SERVICE_INSTANCE, ip6Address) == offsetof(::DNS_SERVICE_INSTANCE, ip6Address), "");
static_assert(offsetof(dnsapi::DNS_SERVICE_INSTANCE, dwInterfaceIndex) ==
                  offsetof(::DNS_SERVICE_INSTANCE, dwInterfaceIndex),
              "");
static_assert(sizeof(dnsapi::DNS_SERVICE_BROWSE_REQUEST) == sizeof(::DNS_SERVICE_BROWSE_REQUEST), "");
static_assert(offsetof(dnsapi::DNS_SERVICE_BROWSE_REQUEST, pQueryContext) ==
                  offsetof(::DNS_SERVICE_BROWSE_REQUEST, pQueryContext),
              "");
static_assert(sizeof(dnsapi::DNS_SERVICE_RESOLVE_REQUEST) == sizeof(::DNS_SERVICE_RESOLVE_REQUEST), "");
static_assert(offsetof(dnsapi::DNS_SERVICE_RESOLVE_REQUEST, pQueryContext) ==
                  offsetof(::DNS_SERVICE_RESOLVE_REQUEST, pQueryContext),
              "");
static_assert(sizeof(dnsapi::DNS_SERVICE_CANCEL) == sizeof(::DNS_SERVICE_CANCEL), "");
static_assert(offsetof(dnsapi::DNS_RECORDW, pName) == offsetof(::DNS_RECORDW, pName), "");
static_assert(offsetof(dnsapi::DNS_RECORDW, Data) == offsetof(::DNS_RECORDW, Data), "");
static_assert(kErrorCancelled == ERROR_CANCELLED, "");
static_assert(kDnsFreeRecordList == ::DnsFreeRecordList, "");
#endif

constexpr const char* kPhoneA = "0123456789abcdef0123456789ABCDEF";

// ---- identifiers from instance names ----

TEST(DnsSdInstanceName, ThirtyTwoHexDigitsSpellTheIdentifier) {
  const std::string name = std::string(kPhoneA) + "._kavexwebcam._tcp.local.";
  EXPECT_EQ(InstanceNameLength(name.c_str(), kInstanceIdLength), 32u);
  EXPECT_EQ(PhoneIdFromInstanceName(name.c_str()), IdFromHex(kPhoneA));
}

TEST(DnsSdInstanceName, EachPairEndsAtItsFirstCharacterThatIsNoHexDigit) {
  // 5z -> 5, zz -> 0, z5 -> 0; no sign, blank or 0x prefix is read as part of a number.
  const char* name = "5zzzz5-5 50xFfa.G1..aaaaaaaaaaaa";
  ASSERT_EQ(std::strlen(name), 32u);
  const uint8_t expected[16] = {5, 0, 0, 0, 0, 0, 0xff, 0xa, 0, 0, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};
  EXPECT_EQ(PhoneIdFromInstanceName(name), PhoneId::FromBytes(expected));
}

TEST(DnsSdInstanceName, WideNamesUseTheLowByteOfEachCharacter) {
  std::u16string name(u"0123456789abcdef0123456789ABCDEF.x");
  name[0] = 0x0141;  // 'A' in its low byte
  name[1] = 0x0b35;  // '5'
  name[2] = 0x017a;  // 'z'
  name[3] = 0x0131;  // '1'
  const std::u16string copy = name;
  EXPECT_EQ(InstanceNameLength(copy.c_str(), 32), 32u);
  PhoneId expected = IdFromHex(kPhoneA);
  expected.bytes[0] = 0xa5;
  expected.bytes[1] = 0;
  EXPECT_EQ(PhoneIdFromInstanceName(copy.c_str()), expected);
}

TEST(DnsSdInstanceName, LengthIsCountedUpToTheLimit) {
  EXPECT_EQ(InstanceNameLength(static_cast<const char*>(nullptr), 32), 0u);
  EXPECT_EQ(InstanceNameLength("abc", 32), 3u);
  EXPECT_EQ(InstanceNameLength(std::string(40, 'a').c_str(), 33), 33u);
  EXPECT_EQ(InstanceNameLength(u"abc", 2), 2u);
}

// ---- a fake of the system's DNS service ----

// What the system keeps for a resolve under way. It is the system's to free once the completion
// has returned; a cancel that names it after that would read freed memory, so it is kept and only
// marked finished, which every build can check.
struct FakeQuery {
  bool finished = false;
};

struct FakeResolve {
  FakeQuery* query = nullptr;
  std::u16string name;
  uint32_t version = 0;
  uint32_t interfaceIndex = 0;
  DNS_SERVICE_RESOLVE_COMPLETE callback = nullptr;
  void* context = nullptr;
};

struct FakeService {
  std::mutex mutex;
  int browseCalls = 0;
  int browseCancels = 0;
  int recordListsFreed = 0;
  int wrongFreeType = 0;
  int instancesFreed = 0;
  int resolveCancels = 0;
  int cancelsOfFinishedResolves = 0;
  std::vector<std::unique_ptr<FakeQuery>> queries;
  // Runs inside DnsServiceResolveCancel of a query under way, without the fake's lock.
  std::function<void(FakeQuery*)> duringCancel;
  DNS_SERVICE_BROWSE_REQUEST lastBrowse{};
  std::u16string lastBrowseQuery;
  std::vector<FakeResolve> resolves;
  DNS_STATUS resolveStatus = kDnsRequestPending;
  uint32_t lastError = 0;
  // Runs inside DnsServiceResolve, before it returns (a completion that overtakes the call).
  std::function<void(const FakeResolve&)> duringResolve;
  platform::SystemVersion version{10, 0, 19045};
  bool versionKnown = true;
  int versionQueries = 0;
};

FakeService* g_fake = nullptr;

void KAVEX_SYSTEM_API FakeDnsFree(void* data, int freeType) {
  {
    std::lock_guard<std::mutex> lock(g_fake->mutex);
    ++g_fake->recordListsFreed;
    if (freeType != kDnsFreeRecordList) ++g_fake->wrongFreeType;
  }
  auto* record = static_cast<DNS_RECORDW*>(data);
  while (record != nullptr) {
    DNS_RECORDW* next = record->pNext;
    delete[] record->pName;
    delete record;
    record = next;
  }
}

DNS_STATUS KAVEX_SYSTEM_API FakeBrowse(DNS_SERVICE_BROWSE_REQUEST* request, DNS_SERVICE_CANCEL* cancel) {
  std::lock_guard<std::mutex> lock(g_fake->mutex);
  ++g_fake->browseCalls;
  g_fake->lastBrowse = *request;
  g_fake->lastBrowseQuery = request->QueryName;
  cancel->reserved = reinterpret_cast<void*>(static_cast<uintptr_t>(0x1000 + g_fake->browseCalls));
  return kDnsRequestPending;
}

DNS_STATUS KAVEX_SYSTEM_API FakeBrowseCancel(DNS_SERVICE_CANCEL* cancel) {
  std::lock_guard<std::mutex> lock(g_fake->mutex);
  if (cancel->reserved != nullptr) ++g_fake->browseCancels;
  return 0;
}

DNS_STATUS KAVEX_SYSTEM_API FakeResolveCall(DNS_SERVICE_RESOLVE_REQUEST* request, DNS_SERVICE_CANCEL* cancel) {
  FakeResolve resolve;
  resolve.name = request->QueryName;
  resolve.version = request->Version;
  resolve.interfaceIndex = request->InterfaceIndex;
  resolve.callback = request->pResolveCompletionCallback;
  resolve.context = request->pQueryContext;
  std::function<void(const FakeResolve&)> during;
  DNS_STATUS status;
  {
    std::lock_guard<std::mutex> lock(g_fake->mutex);
    g_fake->queries.push_back(std::make_unique<FakeQuery>());
    resolve.query = g_fake->queries.back().get();
    g_fake->resolves.push_back(resolve);
    during = g_fake->duringResolve;
    status = g_fake->resolveStatus;
  }
  if (during) during(resolve);
  if (status == kDnsRequestPending) cancel->reserved = resolve.query;
  return status;
}

DNS_STATUS KAVEX_SYSTEM_API FakeResolveCancel(DNS_SERVICE_CANCEL* cancel) {
  auto* query = static_cast<FakeQuery*>(cancel->reserved);
  std::function<void(FakeQuery*)> during;
  {
    std::lock_guard<std::mutex> lock(g_fake->mutex);
    if (query == nullptr) return 87;
    if (query->finished) {
      ++g_fake->cancelsOfFinishedResolves;
      return 87;
    }
    ++g_fake->resolveCancels;
    during = g_fake->duringCancel;
  }
  if (during) during(query);
  return 0;
}

// The system is done with a resolve: its completion has returned.
void FinishQuery(FakeQuery* query) {
  std::lock_guard<std::mutex> lock(g_fake->mutex);
  if (query != nullptr) query->finished = true;
}
bool QueryFinished(FakeQuery* query) {
  std::lock_guard<std::mutex> lock(g_fake->mutex);
  return query->finished;
}

void KAVEX_SYSTEM_API FakeFreeInstance(DNS_SERVICE_INSTANCE* instance) {
  {
    std::lock_guard<std::mutex> lock(g_fake->mutex);
    ++g_fake->instancesFreed;
  }
  delete[] instance->pszInstanceName;
  delete instance->ip4Address;
  delete instance->ip6Address;
  delete instance;
}

uint32_t FakeLastError() { return g_fake->lastError; }
bool FakeVersion(platform::SystemVersion* out) {
  ++g_fake->versionQueries;
  if (!g_fake->versionKnown) return false;
  *out = g_fake->version;
  return true;
}

DnsSdSystemEnvironment g_environment;
const DnsSdSystemEnvironment* LoadFakeSystem() { return &g_environment; }

// A library without a responder: every call answers "not running".
dnssd::DNSServiceErrorType NoBrowse(dnssd::DNSServiceRef*, dnssd::DNSServiceFlags, uint32_t, const char*, const char*,
                                    dnssd::DNSServiceBrowseReply, void*) {
  return dnssd::kDNSServiceErr_ServiceNotRunning;
}
dnssd::DNSServiceErrorType NoResolve(dnssd::DNSServiceRef*, dnssd::DNSServiceFlags, uint32_t, const char*, const char*,
                                     const char*, dnssd::DNSServiceResolveReply, void*) {
  return dnssd::kDNSServiceErr_ServiceNotRunning;
}
dnssd::DNSServiceErrorType NoLookup(dnssd::DNSServiceRef*, dnssd::DNSServiceFlags, uint32_t, dnssd::DNSServiceProtocol,
                                    const char*, dnssd::DNSServiceGetAddrInfoReply, void*) {
  return dnssd::kDNSServiceErr_ServiceNotRunning;
}
intptr_t NoSocket(dnssd::DNSServiceRef) { return -1; }
dnssd::DNSServiceErrorType NoProcess(dnssd::DNSServiceRef) { return dnssd::kDNSServiceErr_ServiceNotRunning; }
void NoDeallocate(dnssd::DNSServiceRef) {}
const DnsSdLibraryCalls kNoLibrary = {NoBrowse, NoResolve, NoLookup, NoSocket, NoProcess, NoDeallocate};

// A library whose browse starts (and whose reference never has anything to say).
int g_libraryBrowses = 0;
int g_libraryReleases = 0;
dnssd::DNSServiceErrorType GoodBrowse(dnssd::DNSServiceRef* ref, dnssd::DNSServiceFlags, uint32_t, const char*,
                                      const char*, dnssd::DNSServiceBrowseReply, void*) {
  ++g_libraryBrowses;
  *ref = reinterpret_cast<dnssd::DNSServiceRef>(static_cast<uintptr_t>(0x40));
  return 0;
}
void CountDeallocate(dnssd::DNSServiceRef) { ++g_libraryReleases; }
const DnsSdLibraryCalls kBrowsingLibrary = {GoodBrowse, NoResolve, NoLookup, NoSocket, NoProcess, CountDeallocate};

char16_t* WideCopy(const std::u16string& text) {
  auto* copy = new char16_t[text.size() + 1];
  std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(char16_t));
  return copy;
}

// A record list as the browse callback receives it, owned by the fake until DnsFree.
DNS_RECORDW* Records(const std::vector<std::u16string>& owners) {
  DNS_RECORDW* head = nullptr;
  for (auto it = owners.rbegin(); it != owners.rend(); ++it) {
    auto* record = new DNS_RECORDW{};
    record->pName = WideCopy(*it);
    record->pNext = head;
    head = record;
  }
  return head;
}

DNS_SERVICE_INSTANCE* Instance(const std::u16string& name, const uint8_t* v4, const uint8_t* v6, uint16_t port) {
  auto* instance = new DNS_SERVICE_INSTANCE{};
  instance->pszInstanceName = WideCopy(name);
  if (v4 != nullptr) {
    instance->ip4Address = new uint32_t;
    std::memcpy(instance->ip4Address, v4, 4);
  }
  if (v6 != nullptr) {
    instance->ip6Address = new IP6_ADDRESS;
    std::memcpy(instance->ip6Address->IP6Byte, v6, 16);
  }
  instance->wPort = port;
  instance->dwInterfaceIndex = 2;
  return instance;
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }
const std::u16string kInstanceA = Wide(std::string(kPhoneA) + "._kavexwebcam._tcp.local");

const uint8_t kV4[4] = {198, 18, 0, 2};
const uint8_t kV6[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0x6b, 0x76, 0xff, 0xfe, 0x78, 0, 2};

// What the system does: call back on a thread of its own.
void OnSystemThread(const std::function<void()>& work) { std::thread(work).join(); }

class DnsSdSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_ = std::make_unique<FakeService>();
    g_fake = fake_.get();
    g_environment = DnsSdSystemEnvironment{};
    g_environment.calls.dnsFree = &FakeDnsFree;
    g_environment.calls.serviceBrowse = &FakeBrowse;
    g_environment.calls.serviceBrowseCancel = &FakeBrowseCancel;
    g_environment.calls.serviceResolve = &FakeResolveCall;
    g_environment.calls.serviceResolveCancel = &FakeResolveCancel;
    g_environment.calls.serviceFreeInstance = &FakeFreeInstance;
    g_environment.lastError = &FakeLastError;
    g_environment.systemVersion = &FakeVersion;
    g_environment.clock = &clock_;
    g_environment.rebrowseMode = &mode_;
    ErrorLog::RecordError("setup", 0);
    settings_fixture::DeleteErrorValue();
    discovery_ = std::make_unique<DnsSdDiscoveryImpl>(kNoLibrary, &LoadFakeSystem);
  }
  void TearDown() override {
    discovery_.reset();
    EXPECT_EQ(DnsSdSystemBackend::PendingResolveCount(), 0u);
    EXPECT_EQ(fake_->wrongFreeType, 0);
    EXPECT_EQ(fake_->cancelsOfFinishedResolves, 0) << "a resolve cancelled after its completion returned";
    settings_fixture::DeleteErrorValue();
  }

  void Browse(uint32_t status, const std::vector<std::u16string>& owners) {
    const DNS_SERVICE_BROWSE_REQUEST request = fake_->lastBrowse;
    DNS_RECORDW* records = Records(owners);
    OnSystemThread([&] { request.pBrowseCallback(status, request.pQueryContext, records); });
  }
  void Complete(const FakeResolve& resolve, uint32_t status, DNS_SERVICE_INSTANCE* instance) {
    OnSystemThread([&] {
      resolve.callback(status, resolve.context, instance);
      FinishQuery(resolve.query);
    });
  }
  FakeResolve ResolveNumber(size_t i) {
    std::lock_guard<std::mutex> lock(fake_->mutex);
    return i < fake_->resolves.size() ? fake_->resolves[i] : FakeResolve{};
  }
  size_t ResolveCount() {
    std::lock_guard<std::mutex> lock(fake_->mutex);
    return fake_->resolves.size();
  }
  // The discovery thread's pass, some seconds after the previous one.
  void PassAfter(double seconds) {
    clock_.Advance(seconds);
    discovery_->Service();
  }

  // Ends the run and lets its wait for resolves pass on the clock: each look moves it half a second.
  void EndAfterItsWait() {
    clock_.SetStep(0.5);
    discovery_->End();
    clock_.SetStep(0.0);
  }

  FakeClock clock_;
  std::atomic<int> mode_{kRebrowseUndecided};
  std::unique_ptr<FakeService> fake_;
  SightingRecorder recorder_;
  std::atomic<bool> running_{true};
  std::unique_ptr<DnsSdDiscoveryImpl> discovery_;
};

TEST_F(DnsSdSystemTest, BrowsesTheServiceWhenTheLibraryCannot) {
  discovery_->Start(recorder_, running_);
  EXPECT_STREQ(discovery_->backend(), DnsSdSystemBackend::kName);
  EXPECT_EQ(fake_->browseCalls, 1);
  EXPECT_EQ(fake_->lastBrowse.Version, 1u);
  EXPECT_EQ(fake_->lastBrowse.InterfaceIndex, 0u);
  EXPECT_TRUE(fake_->lastBrowseQuery == u"_kavexwebcam._tcp.local");
  EXPECT_NE(fake_->lastBrowse.pBrowseCallback, nullptr);
  discovery_->End();
  EXPECT_EQ(fake_->browseCancels, 1);
  EXPECT_STREQ(discovery_->backend(), "none");
}

TEST_F(DnsSdSystemTest, TheLibraryIsPreferredWhenItsBrowseStarts) {
  g_libraryBrowses = g_libraryReleases = 0;
  DnsSdDiscoveryImpl discovery(kBrowsingLibrary, &LoadFakeSystem);
  discovery.Start(recorder_, running_);
  EXPECT_STREQ(discovery.backend(), DnsSdLibraryBackend::kName);
  EXPECT_EQ(g_libraryBrowses, 1);
  EXPECT_EQ(fake_->browseCalls, 0);
  discovery.Service();
  discovery.End();
  EXPECT_EQ(g_libraryReleases, 1);
}

TEST_F(DnsSdSystemTest, MissingSystemFunctionsMeanNoDiscovery) {
  g_environment.calls.serviceResolveCancel = nullptr;
  discovery_->Start(recorder_, running_);
  EXPECT_STREQ(discovery_->backend(), "none");
  EXPECT_EQ(fake_->browseCalls, 0);
  discovery_->Service();
  discovery_->End();

  DnsSdDiscoveryImpl nothing(kNoLibrary, nullptr);
  nothing.Start(recorder_, running_);
  EXPECT_STREQ(nothing.backend(), "none");
  nothing.Service();
  nothing.End();
}

TEST_F(DnsSdSystemTest, InstanceWithBothFamiliesIsReportedOncePerFamily) {
  discovery_->Start(recorder_, running_);
  // The service's pointer record and the host's address record are not instances.
  Browse(0, {u"_kavexwebcam._tcp.local", kInstanceA, u"phone-a.local"});
  EXPECT_EQ(fake_->recordListsFreed, 1);
  ASSERT_EQ(ResolveCount(), 1u);
  const FakeResolve resolve = ResolveNumber(0);
  EXPECT_TRUE(resolve.name == kInstanceA);
  EXPECT_EQ(resolve.version, 1u);
  EXPECT_EQ(resolve.interfaceIndex, 0u);
  EXPECT_EQ(DnsSdSystemBackend::PendingResolveCount(), 1u);

  Complete(resolve, 0, Instance(kInstanceA, kV4, kV6, 4711));
  EXPECT_EQ(fake_->instancesFreed, 1);
  EXPECT_EQ(DnsSdSystemBackend::PendingResolveCount(), 0u);

  const std::vector<HeardSighting> found = recorder_.Reports();
  ASSERT_EQ(found.size(), 2u);
  for (const HeardSighting& phone : found) {
    EXPECT_EQ(phone.id, IdFromHex(kPhoneA));
    EXPECT_EQ(phone.kind, 7);
    EXPECT_EQ(phone.name, "");
    EXPECT_EQ(phone.port, 4711);
  }
  EXPECT_EQ(found[0].peer, SocketAddress::Ipv4(198, 18, 0, 2, 4711));
  EXPECT_EQ(found[1].peer, SocketAddress::Ipv6(kV6, 4711, 0));
}

TEST_F(DnsSdSystemTest, OnlyOwnersWithADotAfterThirtyTwoCharactersAreResolved) {
  discovery_->Start(recorder_, running_);
  const std::u16string digits = Wide(kPhoneA);
  Browse(0, {digits,                                          // 32 characters, nothing after
             digits + u"x._kavexwebcam",                      // no dot at position 32
             digits.substr(1) + u"._kavexwebcam._tcp.local",  // the dot one early
             digits + u"."});                                 // the shortest that qualifies
  ASSERT_EQ(ResolveCount(), 1u);
  EXPECT_TRUE(ResolveNumber(0).name == digits + u".");
  Complete(ResolveNumber(0), 0, Instance(digits + u".", kV4, nullptr, 4699));
  EXPECT_EQ(recorder_.Count(), 1u);
}

TEST_F(DnsSdSystemTest, BrowseErrorIsLoggedAndItsRecordsAreStillUsed) {
  discovery_->Start(recorder_, running_);
  Browse(9002, {kInstanceA});
  EXPECT_EQ(ErrorLog::TakeStoredEntry().text, "we:mc:681");
  EXPECT_EQ(ResolveCount(), 1u);

  // A cancelled browse (each restart cancels one) is not an error.
  Browse(kErrorCancelled, {});
  EXPECT_FALSE(ErrorLog::TakeStoredEntry().deliver);
  EXPECT_EQ(fake_->recordListsFreed, 1);  // an empty list is nothing to free
  Complete(ResolveNumber(0), 0, Instance(kInstanceA, kV4, nullptr, 4699));
}

TEST_F(DnsSdSystemTest, ShortInstanceNameIsLoggedAndSkipped) {
  discovery_->Start(recorder_, running_);
  Browse(0, {kInstanceA});
  ASSERT_EQ(ResolveCount(), 1u);
  Complete(ResolveNumber(0), 0, Instance(u"abc._kavexwebcam._tcp.local", kV4, kV6, 4699));
  EXPECT_EQ(ErrorLog::TakeStoredEntry().text, "we:mc:563");
  EXPECT_EQ(recorder_.Count(), 0u);
  EXPECT_EQ(fake_->instancesFreed, 1);
}

TEST_F(DnsSdSystemTest, FailedResolveReportsNothingButFreesItsInstance) {
  discovery_->Start(recorder_, running_);
  Browse(0, {kInstanceA});
  Complete(ResolveNumber(0), 9003, Instance(kInstanceA, kV4, kV6, 4699));
  EXPECT_EQ(recorder_.Count(), 0u);
  EXPECT_EQ(fake_->instancesFreed, 1);
  EXPECT_EQ(DnsSdSystemBackend::PendingResolveCount(), 0u);
}

TEST_F(DnsSdSystemTest, NothingIsReportedWhileNotRunning) {
  discovery_->Start(recorder_, running_);
  Browse(0, {kInstanceA});
  running_ = false;
  Complete(ResolveNumber(0), 0, Instance(kInstanceA, kV4, kV6, 4699));
  EXPECT_EQ(recorder_.Count(), 0u);
  EXPECT_EQ(fake_->instancesFreed, 1);
}

TEST_F(DnsSdSystemTest, ResolveThatDoesNotStartIsLoggedAndHoldsTheEndForTwoSeconds) {
  fake_->resolveStatus = 87;
  fake_->lastError = 1460;
  discovery_->Start(recorder_, running_);
  Browse(0, {kInstanceA});
  EXPECT_EQ(ErrorLog::TakeStoredEntry().text, "we:mc.gle1460:699");
  EXPECT_EQ(DnsSdSystemBackend::PendingResolveCount(), 1u);

  const double before = clock_.Peek();
  EndAfterItsWait();
  const double waited = clock_.Peek() - before;
  EXPECT_GE(waited, 2.0);
  EXPECT_LE(waited, 3.0);
  EXPECT_EQ(DnsSdSystemBackend::PendingResolveCount(), 0u);
  EXPECT_EQ(fake_->resolveCancels, 0);  // it never started: there is nothing to cancel
}

TEST_F(DnsSdSystemTest, EndWaitsOnlyUntilTheLastResolveCompletes) {
  discovery_->Start(recorder_, running_);
  Browse(0, {kInstanceA});
  const FakeResolve resolve = ResolveNumber(0);
  // The clock stands still: only the completion can end the wait.
  const uint64_t readings = clock_.Readings();
  std::atomic<bool> ended{false};
  bool endedByCompletion = false;
  std::thread system([&] {
    testkit::WaitUntil([&] { return clock_.Readings() > readings; }, 10000);  // the end is waiting
    resolve.callback(0, resolve.context, Instance(kInstanceA, kV4, nullptr, 4699));
    endedByCompletion = testkit::WaitUntil([&] { return ended.load(); }, 5000);
    clock_.Advance(10.0);  // releases an end that missed the completion
  });
  discovery_->End();
  ended = true;
  system.join();
  EXPECT_TRUE(endedByCompletion) << "the end waited for its limit, not for the completion";
  EXPECT_EQ(fake_->instancesFreed, 1);
  EXPECT_EQ(fake_->resolveCancels, 0);  // completed resolves are not cancelled
}

TEST_F(DnsSdSystemTest, LateCallbacksAfterTheEndTouchNothingThatIsGone) {
  auto listener = std::make_unique<SightingRecorder>();
  auto running = std::make_unique<std::atomic<bool>>(true);
  discovery_->Start(*listener, *running);
  Browse(0, {kInstanceA});
  const FakeResolve resolve = ResolveNumber(0);
  const DNS_SERVICE_BROWSE_REQUEST browse = fake_->lastBrowse;

  // The resolve outlives the run: End gives up on it after its wait, and everything the run
  // had (the discovery, its listener, the running flag) goes away.
  EndAfterItsWait();
  EXPECT_EQ(fake_->resolveCancels, 1);  // given up on, and cancelled with its own handle
  discovery_.reset();
  listener.reset();
  running.reset();

  Complete(resolve, 0, Instance(kInstanceA, kV4, kV6, 4699));
  DNS_RECORDW* records = Records({kInstanceA});
  OnSystemThread([&] { browse.pBrowseCallback(9002, browse.pQueryContext, records); });

  EXPECT_EQ(fake_->instancesFreed, 1);
  EXPECT_EQ(fake_->recordListsFreed, 2);
  EXPECT_EQ(ResolveCount(), 1u);  // the late browse started nothing
  EXPECT_FALSE(ErrorLog::TakeStoredEntry().deliver);
  EXPECT_EQ(DnsSdSystemBackend::PendingResolveCount(), 0u);
}

TEST_F(DnsSdSystemTest, ReportRacingTheEndIsDeliveredBeforeItOrNotAtAll) {
  for (int round = 0; round < 20; ++round) {
    auto listener = std::make_unique<SightingRecorder>();
    discovery_->Start(*listener, running_);
    Browse(0, {kInstanceA});
    const FakeResolve resolve = ResolveNumber(ResolveCount() - 1);
    std::thread system([&] { resolve.callback(0, resolve.context, Instance(kInstanceA, kV4, kV6, 4699)); });
    discovery_->End();
    const size_t reported = listener->Count();
    listener.reset();  // End has returned: no report may come any more
    system.join();
    EXPECT_TRUE(reported == 0 || reported == 2) << reported;
  }
  EXPECT_EQ(fake_->instancesFreed, 20);
}

TEST_F(DnsSdSystemTest, CompletionThatOvertakesItsResolveCall) {
  // Inside the call, on the calling thread, and on another thread before the call returns.
  fake_->duringResolve = [](const FakeResolve& resolve) {
    resolve.callback(0, resolve.context, Instance(kInstanceA, kV4, nullptr, 4699));
  };
  discovery_->Start(recorder_, running_);
  Browse(0, {kInstanceA});
  EXPECT_EQ(recorder_.Count(), 1u);

  fake_->duringResolve = [](const FakeResolve& resolve) {
    OnSystemThread([&] { resolve.callback(0, resolve.context, Instance(kInstanceA, nullptr, kV6, 4699)); });
  };
  Browse(0, {kInstanceA});
  EXPECT_EQ(recorder_.Count(), 2u);
  EXPECT_EQ(fake_->instancesFreed, 2);
  EXPECT_EQ(DnsSdSystemBackend::PendingResolveCount(), 0u);
}

TEST_F(DnsSdSystemTest, CancelsAtTheEndAndCompletionsInEveryOrder) {
  discovery_->Start(recorder_, running_);
  Browse(0, {kInstanceA, kInstanceA, kInstanceA});
  ASSERT_EQ(ResolveCount(), 3u);
  const FakeResolve first = ResolveNumber(0), second = ResolveNumber(1), third = ResolveNumber(2);
  bool thirdDoneDuringItsCancel = false;
  std::thread late;
  fake_->duringCancel = [&](FakeQuery* query) {
    if (query == first.query) {
      // While the end cancels one resolve, another one completes and the system lets it go: the
      // end must not cancel that one afterwards.
      Complete(second, 0, Instance(kInstanceA, kV4, nullptr, 4699));
      // And the cancelled one's own completion, delivered by the cancel on the calling thread.
      first.callback(kErrorCancelled, first.context, nullptr);
    } else if (query == third.query) {
      // Its completion arrives on another thread while the cancel is still using the handle.
      late = std::thread([&] { Complete(third, kErrorCancelled, nullptr); });
      // Only its return could show a completion that does not wait for the cancel: give it time to.
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      thirdDoneDuringItsCancel = QueryFinished(third.query);
    }
  };
  EndAfterItsWait();
  if (late.joinable()) late.join();
  EXPECT_EQ(fake_->resolveCancels, 2);
  EXPECT_EQ(fake_->cancelsOfFinishedResolves, 0);
  EXPECT_FALSE(thirdDoneDuringItsCancel) << "the completion returned while its cancel was running";
  EXPECT_EQ(recorder_.Count(), 0u) << "nothing is reported once the end has begun cancelling";
  EXPECT_EQ(fake_->instancesFreed, 1);
}

TEST_F(DnsSdSystemTest, ResolveStillStartingAtTheEndIsCancelledByItsCaller) {
  std::mutex gate;
  std::unique_lock<std::mutex> closed(gate);
  fake_->duringResolve = [&](const FakeResolve&) { std::lock_guard<std::mutex> wait(gate); };
  discovery_->Start(recorder_, running_);
  const DNS_SERVICE_BROWSE_REQUEST request = fake_->lastBrowse;
  DNS_RECORDW* records = Records({kInstanceA});
  std::thread system([&] { request.pBrowseCallback(0, request.pQueryContext, records); });
  while (ResolveCount() == 0) std::this_thread::yield();
  EndAfterItsWait();  // the call has not returned: there is no handle to cancel yet
  EXPECT_EQ(fake_->resolveCancels, 0);
  closed.unlock();
  system.join();
  EXPECT_EQ(fake_->resolveCancels, 1) << "left behind, it could complete into an engine that is gone";
  EXPECT_EQ(DnsSdSystemBackend::PendingResolveCount(), 0u);
  Complete(ResolveNumber(0), kErrorCancelled, nullptr);
}

TEST_F(DnsSdSystemTest, PendingResolvesOfARunAreBounded) {
  discovery_->Start(recorder_, running_);
  Browse(0, std::vector<std::u16string>(40, kInstanceA));
  EXPECT_EQ(ResolveCount(), 16u);
  EXPECT_EQ(ErrorLog::TakeStoredEntry().text, "we:mc:494");
  for (size_t i = 0; i < 16; ++i) Complete(ResolveNumber(i), 0, Instance(kInstanceA, kV4, nullptr, 4699));
  Browse(0, {kInstanceA});  // room again
  EXPECT_EQ(ResolveCount(), 17u);
  Complete(ResolveNumber(16), 0, Instance(kInstanceA, kV4, nullptr, 4699));
  EXPECT_EQ(recorder_.Count(), 17u);
}

// ---- restarting the browse ----

TEST_F(DnsSdSystemTest, OnOlderWindows10BuildsTheBrowseRestartsEveryEightSecondsTenTimes) {
  fake_->version = {10, 0, 19045};
  discovery_->Start(recorder_, running_);
  PassAfter(4.0);
  PassAfter(4.0);  // exactly 8 s: not yet
  EXPECT_EQ(fake_->browseCalls, 1);
  EXPECT_EQ(mode_.load(), kRebrowse);

  for (int i = 0; i < 7; ++i) PassAfter(8.01);
  EXPECT_EQ(fake_->browseCalls, 1 + 7);
  PassAfter(4.0);  // 4 s after the last restart
  EXPECT_EQ(fake_->browseCalls, 1 + 7);
  for (int i = 0; i < 40; ++i) PassAfter(2.01);  // 80 s more: the budget runs out
  EXPECT_EQ(fake_->browseCalls, 1 + 10);
  EXPECT_EQ(fake_->browseCancels, 10);  // each restart cancels the browse before it
  EXPECT_EQ(discovery_->browseBudget(), 0);

  // The host asks to look again: ten more.
  discovery_->ResetBrowseBudget();
  PassAfter(8.01);
  EXPECT_EQ(fake_->browseCalls, 12);
  for (int i = 0; i < 30; ++i) PassAfter(8.01);
  EXPECT_EQ(fake_->browseCalls, 21);

  // A new run starts with a full budget.
  discovery_->Start(recorder_, running_);
  EXPECT_EQ(discovery_->browseBudget(), 10);
  EXPECT_EQ(fake_->browseCalls, 22);
  PassAfter(8.01);
  EXPECT_EQ(fake_->browseCalls, 23);
}

TEST_F(DnsSdSystemTest, OtherSystemsNeverRestartTheBrowse) {
  struct Case {
    platform::SystemVersion version;
    bool known;
    int browses;
  };
  const Case cases[] = {
      {{10, 0, 19045}, true, 11}, {{10, 0, 21995}, true, 11}, {{10, 0, 21996}, true, 1},  {{10, 0, 22000}, true, 1},
      {{6, 3, 9600}, true, 1},    {{11, 0, 19045}, true, 1},  {{10, 0, 19045}, false, 1},
  };
  for (const Case& c : cases) {
    mode_ = kRebrowseUndecided;
    fake_->browseCalls = 0;
    fake_->version = c.version;
    fake_->versionKnown = c.known;
    discovery_->Start(recorder_, running_);
    for (int i = 0; i < 20; ++i) PassAfter(8.5);
    discovery_->End();
    EXPECT_EQ(fake_->browseCalls, c.browses)
        << c.version.major << "." << c.version.build << (c.known ? "" : " (unknown)");
  }
}

TEST_F(DnsSdSystemTest, TheRestartModeIsDecidedOnce) {
  fake_->version = {10, 0, 22631};
  discovery_->Start(recorder_, running_);
  PassAfter(9);
  PassAfter(9);
  EXPECT_EQ(fake_->versionQueries, 1);
  discovery_->End();
  fake_->version = {10, 0, 19045};  // the process's answer stays
  discovery_->Start(recorder_, running_);
  PassAfter(9);
  EXPECT_EQ(fake_->versionQueries, 1);
  EXPECT_EQ(fake_->browseCalls, 2);
}

}  // namespace
}  // namespace kavex
