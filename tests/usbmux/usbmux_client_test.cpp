// Our client of the multiplexing service against a service that stalls: every wait of a call made
// under CallLimits ends on the thread's stop flag or at its wait limit, a service that takes no
// connection counts as refused, and deadlines turn into waits that saturate instead of wrapping.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/wait_time.h"
#include "usbmux/usbmux_call_limits.h"
#include "usbmux/usbmuxd.h"

namespace kavex::usbmux {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kDay = 24 * 60 * 60 * 1000;

// What the stand-in service does with a connection.
enum class Behaviour {
  kSilent,        // accepts, never answers
  kDeafDevice,    // answers a Connect with success, then reads nothing more: a device that stalls
  kNoConnection,  // never accepts, and its one-place backlog is already taken
};

// A service on a unix socket of its own, named to the client through USBMUXD_SOCKET_ADDRESS while
// the object lives. Thread: the test's; one thread of its own accepts and answers.
class StandInService {
 public:
  explicit StandInService(Behaviour behaviour) : behaviour_(behaviour) {
    char folder[] = "/tmp/usbmux-client-test-XXXXXX";
    EXPECT_NE(::mkdtemp(folder), nullptr);
    folder_ = folder;
    path_ = folder_ + "/usbmuxd";
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_, 0), 0);
    ::setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + path_).c_str(), 1);
    if (behaviour_ == Behaviour::kNoConnection) {
      // The backlog's one place: taken by a connection nobody accepts.
      const int filler = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      EXPECT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
      held_.push_back(filler);
      return;
    }
    thread_ = std::thread([this] { Serve(); });
  }

  ~StandInService() {
    stop_.store(true);
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    for (const int fd : held_) ::close(fd);
    ::close(listener_);
    ::unlink(path_.c_str());
    ::rmdir(folder_.c_str());
    ::unsetenv("USBMUXD_SOCKET_ADDRESS");
  }

 private:
  void Serve() {
    while (!stop_.load()) {
      const int connection = ::accept(listener_, nullptr, nullptr);
      if (connection < 0) return;
      held_.push_back(connection);
      if (behaviour_ != Behaviour::kDeafDevice) continue;
      // The request is small and comes in one piece; the reply echoes its tag.
      uint8_t request[4096];
      if (::recv(connection, request, sizeof request, 0) < 16) continue;
      const std::string xml =
          "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>MessageType</key>"
          "<string>Result</string><key>Number</key><integer>0</integer></dict></plist>";
      std::vector<uint8_t> reply(16 + xml.size());
      const uint32_t length = static_cast<uint32_t>(reply.size());
      const uint32_t fields[] = {length, 1, 8, 0};
      for (int i = 0; i < 12; ++i) reply[i] = static_cast<uint8_t>(fields[i / 4] >> (8 * (i % 4)));
      std::memcpy(reply.data() + 12, request + 12, 4);
      std::memcpy(reply.data() + 16, xml.data(), xml.size());
      EXPECT_EQ(::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL), static_cast<ssize_t>(reply.size()));
    }
  }

  const Behaviour behaviour_;
  std::string folder_;
  std::string path_;
  int listener_ = -1;
  std::vector<int> held_;  // connections kept open, unanswered, until the end
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Sets flag after delayMs on a thread of its own.
class LateStop {
 public:
  LateStop(std::atomic<bool>& flag, int delayMs)
      : thread_([&flag, delayMs] {
          std::this_thread::sleep_for(milliseconds(delayMs));
          flag.store(true);
        }) {}
  ~LateStop() { thread_.join(); }

 private:
  std::thread thread_;
};

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

TEST(UsbmuxClientWaits, DeadlinesBecomeWaitsThatSaturateNeverWrap) {
  // A machine up for 30 days: "never" and a deadline weeks away are the longest wait there is,
  // not a negative number that poll reads as forever (nor one that a stop is never seen in).
  for (const int daysUp : {0, 10, 25, 30, 40, 48, 50, 400}) {
    const Clock::time_point now{milliseconds(static_cast<long long>(daysUp) * kDay)};
    EXPECT_EQ(platform::WaitMsUntil(Clock::time_point::max(), now), platform::kLongestWaitMs) << daysUp;
    EXPECT_EQ(platform::WaitMsUntil(now + milliseconds(30LL * kDay), now), platform::kLongestWaitMs) << daysUp;
    EXPECT_EQ(platform::WaitMsUntil(now + milliseconds(1500), now), 1500) << daysUp;
    EXPECT_EQ(platform::WaitMsUntil(now - milliseconds(1), now), 0) << daysUp;
  }
  EXPECT_EQ(platform::WaitMsOfSeconds(30.0 * 24 * 3600), platform::kLongestWaitMs);
  EXPECT_EQ(platform::WaitMsOfSeconds(1e300), platform::kLongestWaitMs);
  EXPECT_EQ(platform::WaitMsOfSeconds(0.25), 250);
  EXPECT_EQ(platform::WaitMsOfSeconds(-1.0), 0);
  EXPECT_EQ(platform::WaitMsOfSeconds(std::nan("")), 0);
}

TEST(UsbmuxClientLimits, ARequestToAServiceThatNeverAnswersEndsOnTheStopFlagOrAtTheWaitLimit) {
  StandInService service(Behaviour::kSilent);
  {
    std::atomic<bool> stop{false};
    const LateStop late(stop, 200);
    const CallLimits limits(&stop);
    const auto start = Clock::now();
    EXPECT_EQ(usbmuxd_connect(1, 4699), -ECANCELED);
    EXPECT_LT(SecondsSince(start), 2.0) << "unlimited, the reply is waited for 10 s";
  }
  {
    const CallLimits limits(nullptr, 300);
    const auto start = Clock::now();
    usbmuxd_device_info_t* list = nullptr;
    EXPECT_EQ(usbmuxd_get_device_list(&list), -ETIMEDOUT);
    EXPECT_LT(SecondsSince(start), 2.0);
    EXPECT_GE(SecondsSince(start), 0.25);
  }
}

TEST(UsbmuxClientLimits, AServiceThatTakesNoConnectionCountsAsRefusedAndAStopEndsTheTries) {
  StandInService service(Behaviour::kNoConnection);
  auto start = Clock::now();
  EXPECT_EQ(usbmuxd_connect(1, 4699), -ECONNREFUSED);  // after the 2 s a connection may take
  EXPECT_LT(SecondsSince(start), 5.0);
  std::atomic<bool> stop{false};
  const LateStop late(stop, 200);
  const CallLimits limits(&stop);
  start = Clock::now();
  EXPECT_EQ(usbmuxd_connect(1, 4699), -ECANCELED);
  EXPECT_LT(SecondsSince(start), 1.5);
}

TEST(UsbmuxClientLimits, ADeviceStreamThatStallsEndsSendsAtTheWaitLimitAndReceivesOnTheStopFlag) {
  StandInService service(Behaviour::kDeafDevice);
  const int handle = usbmuxd_connect(1, 4699);
  ASSERT_GE(handle, 0);
  {
    // More than the socket's buffers hold: the send waits for a reader that never comes.
    const std::vector<char> data(16 << 20, 'x');
    uint32_t sent = 0;
    const CallLimits limits(nullptr, 300);
    const auto start = Clock::now();
    EXPECT_EQ(usbmuxd_send(handle, data.data(), static_cast<uint32_t>(data.size()), &sent), -ETIMEDOUT);
    EXPECT_LT(SecondsSince(start), 2.0) << "unlimited, a full socket is waited on for 10 s";
    EXPECT_LT(sent, data.size());
  }
  {
    std::atomic<bool> stop{false};
    const LateStop late(stop, 200);
    const CallLimits limits(&stop);
    char byte = 0;
    uint32_t got = 0;
    const auto start = Clock::now();
    EXPECT_EQ(usbmuxd_recv_timeout(handle, &byte, 1, &got, 0), -ECANCELED);  // 0: without limit
    EXPECT_LT(SecondsSince(start), 2.0);
  }
  EXPECT_EQ(usbmuxd_disconnect(handle), 0);
}

}  // namespace
}  // namespace kavex::usbmux
