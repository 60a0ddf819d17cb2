#include "discovery/network_discovery.h"

#include <chrono>
#include <optional>
#include <system_error>
#include <vector>

#include "common/engine_thread.h"
#include "common/error_log.h"
#include "common/trace.h"
#include "discovery/announcement_socket.h"
#include "platform/adapters.h"
#include "platform/sync.h"
#include "platform/system_thread.h"
#include "protocol/phone_announcement.h"

namespace kavex {

namespace {

constexpr uint16_t kPhoneSessionPort = 4699;
constexpr size_t kReceiveBufferSize = 560;
constexpr int kDatagramsPerSocketPerPass = 20;
constexpr int kIdleSleepSteps = 5;
constexpr auto kIdleSleepStep = std::chrono::milliseconds(100);
constexpr const char* kTraceComponent = "discovery";

}  // namespace

NetworkDiscovery::NetworkDiscovery(std::unique_ptr<DnsSdDiscovery> dnsSd) : dnsSd_(std::move(dnsSd)) {}

NetworkDiscovery::~NetworkDiscovery() { Start(nullptr); }

void NetworkDiscovery::Start(PhoneSightingListener* listener) {
  std::lock_guard<platform::Mutex> lock(startMutex_);
  running_.store(false);
  JoinEngineThread(thread_);
  listener_ = listener;
  if (listener_ == nullptr) return;
  running_.store(true);
  try {
    thread_ = StartEngineThread("kavex-discovery", error_codes::kDiscoveryThrew, [this] { Run(); });
  } catch (const std::system_error&) {
    // No thread: discovery stays stopped (running() tells) until the next Start.
    running_.store(false);
    listener_ = nullptr;
  }
}

void NetworkDiscovery::ResetBrowseBudget() {
  if (dnsSd_ != nullptr) dnsSd_->ResetBrowseBudget();
}

void NetworkDiscovery::Run() {
  try {
    RunDiscovery();
  } catch (...) {
    // Out of memory with a flood of phones: this run ends (the thread records why); the next
    // address change or open starts a new one.
    KAVEX_TRACE_ERROR(kTraceComponent, "discovery thread threw; this run ends");
    if (dnsSd_ != nullptr) dnsSd_->End();
    running_.store(false);
    throw;
  }
  running_.store(false);
}

void NetworkDiscovery::RunDiscovery() {
  // listener_ is written only by Start, before this thread starts and after it has been joined.
  PhoneSightingListener& listener = *listener_;
  if (dnsSd_ != nullptr) dnsSd_->Start(listener, running_);

  // The socket set is fixed for this run; an address change restarts the thread.
  std::vector<platform::AdapterAddress> adapters;
  platform::ListActiveAdapterAddresses(&adapters);
  std::vector<std::unique_ptr<AnnouncementSocket>> sockets = BuildAnnouncementSockets(adapters);
  KAVEX_TRACE_INFO(kTraceComponent, "started: %zu announcement sockets for %zu adapter addresses", sockets.size(),
                   adapters.size());

  uint8_t buffer[kReceiveBufferSize];
  while (running_.load()) {
    if (dnsSd_ != nullptr) dnsSd_->Service();

    for (const std::unique_ptr<AnnouncementSocket>& socket : sockets) {
      for (int i = 0; i < kDatagramsPerSocketPerPass && running_.load(); ++i) {
        SocketAddress source;
        const long received = socket->Receive(buffer, sizeof buffer, &source);
        // Time-outs, errors (an oversized datagram included) and runts end this socket's turn.
        if (received < static_cast<long>(PhoneAnnouncement::kSize)) break;
        const std::optional<PhoneAnnouncement> announcement =
            ParsePhoneAnnouncement(buffer, static_cast<size_t>(received));
        if (!announcement || !running_.load()) continue;
        KAVEX_TRACE_DEBUG(kTraceComponent, "heard \"%s\" (kind %u) from %s", announcement->name.c_str(),
                          static_cast<unsigned>(announcement->kind), source.ToString().c_str());
        // The phone is reached where it was heard from (a link-local peer with its scope), on its
        // session port, whatever port it announced from.
        listener.OnPhoneFound(PhoneSighting::Network(announcement->id, announcement->kind, announcement->name, source,
                                                     kPhoneSessionPort));
      }
    }

    for (int i = 0; i < kIdleSleepSteps && running_.load(); ++i) platform::SleepFor(kIdleSleepStep);
  }

  if (dnsSd_ != nullptr) dnsSd_->End();
  sockets.clear();  // leaves the groups
  KAVEX_TRACE_INFO(kTraceComponent, "stopped");
}

}  // namespace kavex
