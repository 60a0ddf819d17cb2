// DNS service discovery through the DNS-SD library, against the scripted stand-in library that
// sits next to this test program (and nowhere else): the engine finds it by the library's own name.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "common/error_log.h"
#include "discovery/dns_sd_discovery.h"
#include "discovery/dns_sd_discovery_impl.h"
#include "discovery/dns_sd_library.h"
#include "discovery/dns_sd_library_backend.h"
#include "discovery/dns_sd_system_library.h"
#include "dns_sd_ids.h"
#include "fake_clock.h"
#include "platform/dynamic_library.h"
#include "settings_fixture.h"
#include "sighting_recorder.h"

namespace kavex {
namespace {

#if defined(_WIN32)
constexpr const char* kLibraryName = "dnssd.dll";
#else
constexpr const char* kLibraryName = "libdns_sd.so.1";
#endif

constexpr const char* kPhoneA = "0123456789abcdef0123456789ABCDEF";
constexpr const char* kPhoneB = "f0e1d2c3b4a5968778695a4b3c2d1e0f";

// The stand-in's control functions, reached through the same loaded library as the engine's calls.
class StandIn {
 public:
  StandIn() : library_(platform::DynamicLibrary::Load(kLibraryName)) {
    load_ = library_.FindFunction<int (*)(const char*)>("StandinLoadScript");
    count_ = library_.FindFunction<int (*)(const char*)>("StandinCount");
    log_ = library_.FindFunction<int (*)(char*, int)>("StandinCallLog");
  }
  bool ok() const { return load_ != nullptr && count_ != nullptr && log_ != nullptr; }
  int Script(const std::string& text) { return load_(text.c_str()); }
  int Count(const char* name) { return count_(name); }
  std::string Log() {
    std::string text(static_cast<size_t>(log_(nullptr, 0)) + 1, '\0');
    log_(&text[0], static_cast<int>(text.size()));
    text.resize(text.size() - 1);
    return text;
  }

 private:
  platform::DynamicLibrary library_;
  int (*load_)(const char*) = nullptr;
  int (*count_)(const char*) = nullptr;
  int (*log_)(char*, int) = nullptr;
};

#if defined(_WIN32)
// ---- where the system's libraries come from ----
// Anybody may put a DLL beside the host program or into its current folder; a system library loaded
// by its bare name would be taken from there. These run first: the engine loads dnsapi.dll once
// per process.

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L'\\'));
}

// The stand-in, copied under another name beside this program (and in the current folder, which
// is the same one) for as long as the object lives.
class PlantedLibrary {
 public:
  explicit PlantedLibrary(const wchar_t* name) : path_(ProgramFolder() + L"\\" + name) {
    planted_ = CopyFileW((ProgramFolder() + L"\\dnssd.dll").c_str(), path_.c_str(), FALSE) != FALSE;
  }
  ~PlantedLibrary() {
    // Should it have been loaded after all, it goes before its file does.
    for (int i = 0; i < 8; ++i) {
      const HMODULE module = GetModuleHandleW(path_.c_str());
      if (module == nullptr || !FreeLibrary(module)) break;
    }
    DeleteFileW(path_.c_str());
  }
  bool planted() const { return planted_; }
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
  bool planted_ = false;
};

// Every library the loader maps while it lives, by full path, through the loader's notifications
// (the engine may unload what it looked at before the test can look).
class LoadRecorder {
 public:
  LoadRecorder() : ntdll_(platform::DynamicLibrary::LoadFromSystemFolder("ntdll.dll")) {
    register_ = ntdll_.FindFunction<Register>("LdrRegisterDllNotification");
    unregister_ = ntdll_.FindFunction<Unregister>("LdrUnregisterDllNotification");
    if (register_ != nullptr && unregister_ != nullptr && register_(0, &OnNotification, this, &cookie_) != 0)
      cookie_ = nullptr;
  }
  ~LoadRecorder() {
    if (cookie_ != nullptr) unregister_(cookie_);
  }
  bool ok() const { return cookie_ != nullptr; }
  std::vector<std::wstring> Loaded() {
    std::lock_guard<std::mutex> lock(mutex_);
    return loaded_;
  }

 private:
  struct CountedText {
    USHORT length;
    USHORT capacity;
    const wchar_t* text;
  };
  struct Notification {
    ULONG flags;
    const CountedText* fullName;
    const CountedText* baseName;
    void* base;
    ULONG size;
  };
  using Callback = void(CALLBACK*)(ULONG reason, const Notification* data, void* context);
  using Register = LONG(NTAPI*)(ULONG flags, Callback callback, void* context, void** cookie);
  using Unregister = LONG(NTAPI*)(void* cookie);

  static void CALLBACK OnNotification(ULONG reason, const Notification* data, void* context) {
    if (reason != 1 || data == nullptr || data->fullName == nullptr) return;  // 1: loaded
    auto* self = static_cast<LoadRecorder*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->loaded_.emplace_back(data->fullName->text, data->fullName->length / sizeof(wchar_t));
  }

  platform::DynamicLibrary ntdll_;
  Register register_ = nullptr;
  Unregister unregister_ = nullptr;
  void* cookie_ = nullptr;
  std::mutex mutex_;
  std::vector<std::wstring> loaded_;
};

bool EndsWithNoCase(const std::wstring& text, const std::wstring& end) {
  return text.size() >= end.size() && _wcsicmp(text.c_str() + text.size() - end.size(), end.c_str()) == 0;
}

TEST(SystemLibraryLoading, APlantedSystemLibraryIsNotTheOneLoaded) {
  if (GetModuleHandleW(L"dnsapi.dll") != nullptr)
    GTEST_SKIP() << "dnsapi.dll is loaded already: this process cannot tell where the engine looks";
  PlantedLibrary planted(L"dnsapi.dll");
  ASSERT_TRUE(planted.planted());
  LoadRecorder recorder;
  ASSERT_TRUE(recorder.ok()) << "no loader notifications";
  InstalledSystemDnsService();

  wchar_t system[MAX_PATH];
  const std::wstring systemFolder(system, GetSystemDirectoryW(system, MAX_PATH));
  int fromSystem = 0;
  for (const std::wstring& path : recorder.Loaded()) {
    if (!EndsWithNoCase(path, L"\\dnsapi.dll")) continue;
    EXPECT_NE(_wcsicmp(path.c_str(), planted.path().c_str()), 0) << "the planted library was loaded";
    fromSystem += _wcsnicmp(path.c_str(), systemFolder.c_str(), systemFolder.size()) == 0;
  }
  EXPECT_EQ(fromSystem, 1) << "the system's dnsapi.dll was not loaded";
}

TEST(SystemLibraryLoading, FromTheSystemFolderOnly) {
  PlantedLibrary planted(L"kavex-planted.dll");
  ASSERT_TRUE(planted.planted());
  // The usual search finds it: it is a library that loads.
  platform::DynamicLibrary usual = platform::DynamicLibrary::Load("kavex-planted.dll");
  EXPECT_TRUE(usual.loaded());
  usual.Free();
  EXPECT_FALSE(platform::DynamicLibrary::LoadFromSystemFolder("kavex-planted.dll").loaded());
  EXPECT_FALSE(platform::DynamicLibrary::LoadFromSystemFolder(".\\kavex-planted.dll").loaded());
  EXPECT_TRUE(platform::DynamicLibrary::LoadFromSystemFolder("kernel32.dll").loaded());
}
#endif

std::string FullName(const char* digits) { return std::string(digits) + "._kavexwebcam._tcp.local."; }

class DnsSdLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(standIn_.ok()) << kLibraryName << " (the stand-in) is not next to the test program";
    ErrorLog::RecordError("setup", 0);
    settings_fixture::DeleteErrorValue();
  }
  void TearDown() override {
    discovery_.reset();
    if (standIn_.ok()) {
      EXPECT_EQ(standIn_.Count("live"), 0) << "references left behind";
      EXPECT_EQ(standIn_.Count("bad-deallocate"), 0) << standIn_.Log();
      EXPECT_EQ(standIn_.Count("bad-process"), 0) << standIn_.Log();
    }
    settings_fixture::DeleteErrorValue();
  }

  void Script(const std::string& text) { ASSERT_EQ(standIn_.Script(text), 0) << text; }

  // Services until done() holds (true) or five seconds pass (false).
  bool ServiceUntil(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
      if (std::chrono::steady_clock::now() > limit) return false;
      discovery_->Service();
    }
    return true;
  }
  // A few more passes, for what should not happen.
  void ServiceFor(int passes) {
    for (int i = 0; i < passes; ++i) discovery_->Service();
  }

  StandIn standIn_;
  SightingRecorder recorder_;
  std::atomic<bool> running_{true};
  std::unique_ptr<DnsSdDiscovery> discovery_ = CreateDnsSdDiscovery();
};

TEST_F(DnsSdLibraryTest, InstanceYieldsThePhoneWithItsAddressAndPort) {
  Script("service 2 3 " + std::string(kPhoneA) +
         " _kavexwebcam._tcp. local.\n"
         "resolve " +
         kPhoneA + " " + FullName(kPhoneA) +
         " phone-a.local. 4711\n"
         "address phone-a.local. 198.18.0.2\n");
  discovery_->Start(recorder_, running_);
  ASSERT_TRUE(ServiceUntil([&] { return recorder_.Count() == 1; })) << standIn_.Log();

  const HeardSighting phone = recorder_.Reports()[0];
  EXPECT_EQ(phone.id, IdFromHex(kPhoneA));
  EXPECT_EQ(phone.kind, 7);
  EXPECT_EQ(phone.name, "");
  EXPECT_EQ(phone.peer.family, SocketAddress::Family::kIpv4);
  EXPECT_EQ(phone.peer.ToString().substr(0, 11), "198.18.0.2:");
  EXPECT_EQ(phone.port, 4711);

  // The calls carry what the replies said: the browse's interface to the resolve, the resolve's
  // host and interface to the look-up, both families asked for.
  const std::string log = standIn_.Log();
  EXPECT_NE(log.find("browse flags=0 if=0 type=_kavexwebcam._tcp. domain=(null)\n"), std::string::npos) << log;
  EXPECT_NE(log.find("resolve flags=0 if=3 name=" + std::string(kPhoneA) + " type=_kavexwebcam._tcp. domain=local.\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("lookup flags=0 if=3 protocol=0 host=phone-a.local.\n"), std::string::npos) << log;

  // The answered look-up and its resolve are released; the browse goes on.
  EXPECT_EQ(standIn_.Count("live"), 1);
  EXPECT_EQ(standIn_.Count("live-browse"), 1);
  EXPECT_EQ(standIn_.Count("deallocated"), 2);
}

TEST_F(DnsSdLibraryTest, EveryInstanceIsResolvedAddedOrRemoved) {
  // Flags 0: the responder says the instance went away; it is resolved all the same.
  Script("service 0 1 " + std::string(kPhoneA) +
         " _kavexwebcam._tcp. local.\n"
         "service 2 1 " +
         kPhoneB +
         " _kavexwebcam._tcp. local.\n"
         "resolve " +
         kPhoneA + " " + FullName(kPhoneA) +
         " a.local. 4699\n"
         "resolve " +
         kPhoneB + " " + FullName(kPhoneB) +
         " b.local. 4700\n"
         "address a.local. 198.18.0.2\n"
         "address b.local. 198.18.0.3\n");
  discovery_->Start(recorder_, running_);
  ASSERT_TRUE(ServiceUntil([&] { return recorder_.Count() == 2; })) << standIn_.Log();
  EXPECT_EQ(standIn_.Count("resolve-calls"), 2);
  std::vector<HeardSighting> found = recorder_.Reports();
  if (found[0].id != IdFromHex(kPhoneA)) std::swap(found[0], found[1]);
  EXPECT_EQ(found[0].id, IdFromHex(kPhoneA));
  EXPECT_EQ(found[0].port, 4699);
  EXPECT_EQ(found[1].id, IdFromHex(kPhoneB));
  EXPECT_EQ(found[1].port, 4700);
}

TEST_F(DnsSdLibraryTest, OnlyTheFirstAddressOfALookupIsUsed) {
  Script("service 2 4 " + std::string(kPhoneA) +
         " _kavexwebcam._tcp. local.\n"
         "resolve " +
         kPhoneA + " " + FullName(kPhoneA) +
         " phone-a.local. 4699\n"
         "address phone-a.local. fe80::6b:76ff:fe78:2 4\n"
         "address phone-a.local. 198.18.0.2\n");
  discovery_->Start(recorder_, running_);
  ASSERT_TRUE(ServiceUntil([&] { return recorder_.Count() == 1; })) << standIn_.Log();
  ServiceFor(5);

  ASSERT_EQ(recorder_.Count(), 1u);
  const HeardSighting phone = recorder_.Reports()[0];
  EXPECT_EQ(phone.peer.family, SocketAddress::Family::kIpv6);
  const uint8_t linkLocal[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0x6b, 0x76, 0xff, 0xfe, 0x78, 0, 2};
  EXPECT_EQ(0, std::memcmp(phone.peer.address.data(), linkLocal, 16));
  EXPECT_EQ(phone.peer.scopeId, 4u);  // a link-local peer needs its scope to be reached
  EXPECT_EQ(phone.port, 4699);
  // The resolve and the look-up were each released from inside their own reply, the look-up with
  // its second address still queued.
  EXPECT_EQ(standIn_.Count("deallocated-in-callback"), 2);
  EXPECT_EQ(standIn_.Count("replies-dropped"), 1);
  EXPECT_EQ(standIn_.Count("lookup-calls"), 1);
}

TEST_F(DnsSdLibraryTest, ShortFullNameIsLoggedAndNotLookedUp) {
  Script(
      "service 2 1 short _kavexwebcam._tcp. local.\n"
      "resolve short short._kavexwebcam.local. phone.local. 4699\n"
      "address phone.local. 198.18.0.2\n");
  discovery_->Start(recorder_, running_);
  ASSERT_TRUE(ServiceUntil([&] { return standIn_.Count("replies-delivered") == 2; })) << standIn_.Log();
  ServiceFor(3);

  EXPECT_EQ(ErrorLog::TakeStoredEntry().text, "we:mc:488");
  EXPECT_EQ(standIn_.Count("lookup-calls"), 0);
  EXPECT_EQ(recorder_.Count(), 0u);
  EXPECT_EQ(standIn_.Count("live-resolve"), 0) << "a refused name releases its resolve at once";
}

TEST_F(DnsSdLibraryTest, ReferencesStillWaitingAreReleasedAtEnd) {
  // A host that never yields an address keeps its look-up alive until the end; the resolve went
  // when it answered.
  Script("service 2 1 " + std::string(kPhoneA) +
         " _kavexwebcam._tcp. local.\n"
         "resolve " +
         kPhoneA + " " + FullName(kPhoneA) + " silent.local. 4699\n");
  discovery_->Start(recorder_, running_);
  ASSERT_TRUE(ServiceUntil([&] { return standIn_.Count("live-lookup") == 1; })) << standIn_.Log();
  ServiceFor(3);
  EXPECT_EQ(standIn_.Count("live"), 2);
  EXPECT_EQ(standIn_.Count("live-resolve"), 0);

  discovery_->End();
  EXPECT_EQ(standIn_.Count("live"), 0);
  EXPECT_EQ(standIn_.Count("deallocated"), 3);
  EXPECT_EQ(recorder_.Count(), 0u);
  // A second end has nothing left to release.
  discovery_->End();
  EXPECT_EQ(standIn_.Count("deallocated"), 3);
}

TEST_F(DnsSdLibraryTest, FailedCallsAndErrorRepliesAreSkipped) {
  const std::string c = "00000000000000000000000000000c0c";
  Script(
      "browse-reply-error -65537\n"
      "service 2 1 " +
      std::string(kPhoneA) +
      " _kavexwebcam._tcp. local.\n"
      "service 2 1 " +
      kPhoneB +
      " _kavexwebcam._tcp. local.\n"
      "service 2 1 " +
      c +
      " _kavexwebcam._tcp. local.\n"
      "resolve-fails " +
      kPhoneA +
      " -65537\n"
      "resolve " +
      kPhoneB + " " + FullName(kPhoneB) +
      " b.local. 4699\n"
      "lookup-fails b.local. -65537\n"
      "resolve-reply-error " +
      c +
      " -65554\n"
      "resolve " +
      c + " " + FullName(c.c_str()) +
      " c.local. 4702\n"
      "address-reply-error c.local. -65554\n"
      "address c.local. 198.18.0.12\n");
  discovery_->Start(recorder_, running_);
  ASSERT_TRUE(ServiceUntil([&] { return recorder_.Count() == 1; })) << standIn_.Log();
  ServiceFor(3);

  ASSERT_EQ(recorder_.Count(), 1u);
  const HeardSighting phone = recorder_.Reports()[0];
  EXPECT_EQ(phone.id, IdFromHex(c.c_str()));
  EXPECT_EQ(phone.peer.ToString(), "198.18.0.12:0");
  EXPECT_EQ(phone.port, 4702);
  // Left: the browse. Phone B's resolve answered (its look-up could not start) and is gone.
  EXPECT_EQ(standIn_.Count("live-browse"), 1);
  EXPECT_EQ(standIn_.Count("live-resolve"), 0);
  EXPECT_EQ(standIn_.Count("live-lookup"), 0);
  EXPECT_FALSE(ErrorLog::TakeStoredEntry().deliver);
}

// An instance name that no responder will ever resolve, as any host on the LAN can advertise them.
std::string SilentInstance(int i, int interfaceIndex = 1) {
  return "service 2 " + std::to_string(interfaceIndex) + " silent-" + std::to_string(i) +
         " _kavexwebcam._tcp. local.\n";
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(DnsSdLibraryTest, QueriesAreBoundedAndAnInstanceIsNotResolvedTwiceAtOnce) {
  const int bound = static_cast<int>(DnsSdLibraryBackend::kMaxQueries);
  std::string script = "service 2 1 " + std::string(kPhoneA) + " _kavexwebcam._tcp. local.\n" + SilentInstance(0) +
                       SilentInstance(0, 2);  // again, on another interface
  for (int i = 1; i <= bound + 2; ++i) script += SilentInstance(i);
  Script(script + "resolve " + kPhoneA + " " + FullName(kPhoneA) +
         " a.local. 4699\n"
         "address a.local. 198.18.0.2\n");
  discovery_->Start(recorder_, running_);
  const int replies = 3 + bound + 2 + 2;  // browse replies, phone A's resolve and address
  ASSERT_TRUE(ServiceUntil([&] { return standIn_.Count("replies-delivered") >= replies; })) << standIn_.Log();
  ServiceFor(2);
  EXPECT_EQ(recorder_.Count(), 1u);
  const std::string log = standIn_.Log();
  EXPECT_EQ(Occurrences(log, "name=silent-0 "), 1u) << log;
  EXPECT_EQ(standIn_.Count("resolve-calls"), bound + 1) << "phone A, then silent ones up to the bound";
  EXPECT_EQ(standIn_.Count("live-resolve"), bound);
  EXPECT_EQ(ErrorLog::TakeStoredEntry().text, "we:mc:493");
}

TEST_F(DnsSdLibraryTest, QueriesThatNeverAnswerAreReleasedWhenTheirTimeIsUp) {
  Script(SilentInstance(0) + "service 2 1 " + std::string(kPhoneA) +
         " _kavexwebcam._tcp. local.\n"
         "resolve " +
         kPhoneA + " " + FullName(kPhoneA) + " silent.local. 4699\n");
  FakeClock clock(100.0);
  DnsSdLibraryBackend backend(InstalledDnsSdLibrary(), clock);
  ASSERT_TRUE(backend.Start(recorder_, running_));
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (standIn_.Count("live-lookup") != 1 && std::chrono::steady_clock::now() < limit) backend.Service();
  EXPECT_EQ(standIn_.Count("live"), 3) << standIn_.Log();  // the browse, a resolve, a look-up

  clock.Advance(DnsSdLibraryBackend::kQueryLifetime - 0.01);
  backend.Service();
  EXPECT_EQ(standIn_.Count("live"), 3);
  clock.Advance(0.01);
  backend.Service();
  EXPECT_EQ(standIn_.Count("live"), 1);
  EXPECT_EQ(standIn_.Count("live-browse"), 1);
  EXPECT_EQ(backend.queryCount(), 0u);
  backend.End();
}

TEST_F(DnsSdLibraryTest, NothingIsProcessedOnceRunningIsCleared) {
  Script("service 2 1 " + std::string(kPhoneA) +
         " _kavexwebcam._tcp. local.\n"
         "resolve " +
         kPhoneA + " " + FullName(kPhoneA) +
         " a.local. 4699\n"
         "address a.local. 198.18.0.2\n");
  discovery_->Start(recorder_, running_);
  running_ = false;
  ServiceFor(3);
  EXPECT_EQ(standIn_.Count("process-calls"), 0);
  running_ = true;
  ASSERT_TRUE(ServiceUntil([&] { return recorder_.Count() == 1; })) << standIn_.Log();
}

TEST_F(DnsSdLibraryTest, BrowseThatCannotStartLeavesTheLibraryOut) {
  Script("browse-fails -65563\n");
  auto discovery = std::make_unique<DnsSdDiscoveryImpl>(InstalledDnsSdLibrary(), &InstalledSystemDnsService);
  discovery->Start(recorder_, running_);
  EXPECT_STRNE(discovery->backend(), DnsSdLibraryBackend::kName);
  EXPECT_EQ(standIn_.Count("browse-calls"), 1);
  EXPECT_EQ(standIn_.Count("live"), 0);
  discovery->Service();
  EXPECT_EQ(standIn_.Count("process-calls"), 0);
  discovery->End();
}

TEST_F(DnsSdLibraryTest, EachRunBrowsesAfresh) {
  Script("service 2 1 " + std::string(kPhoneA) +
         " _kavexwebcam._tcp. local.\n"
         "resolve " +
         kPhoneA + " " + FullName(kPhoneA) +
         " a.local. 4699\n"
         "address a.local. 198.18.0.2\n");
  discovery_->Start(recorder_, running_);
  ASSERT_TRUE(ServiceUntil([&] { return recorder_.Count() == 1; })) << standIn_.Log();
  discovery_->End();
  EXPECT_EQ(standIn_.Count("live"), 0);

  discovery_->Start(recorder_, running_);
  ASSERT_TRUE(ServiceUntil([&] { return recorder_.Count() == 2; })) << standIn_.Log();
  EXPECT_EQ(standIn_.Count("browse-calls"), 2);
}

}  // namespace
}  // namespace kavex
