// Smoke tests of the bridge stand-in: each case runs `adb` as a child with its output on pipes
// (read to the end, as the engine reads it: a server that kept the pipe would hang the read) and
// ends its server with kill-server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "sim_process.h"
#include "wire_peer.h"

namespace {

using simtest::Bytes;
using simtest::EngineSide;
using simtest::SimProcess;
using Clock = std::chrono::steady_clock;

struct AdbRun {
  std::string out;
  std::string err;
  int code = -1;
  long long ms = 0;
};

// Runs adb to its end; both streams are read until they close (at most 15 s).
AdbRun Adb(const std::vector<std::string>& args) {
  int outPipe[2];
  int errPipe[2];
  if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) throw simtest::Failure("pipe failed");
  const auto start = Clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    std::vector<char*> argv{const_cast<char*>(ADB_PATH)};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(ADB_PATH, argv.data());
    ::_exit(126);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  AdbRun run;
  pollfd entries[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  while (open > 0 && Clock::now() - start < std::chrono::seconds(15)) {
    if (::poll(entries, 2, 500) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (entries[i].fd < 0 || entries[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = ::read(entries[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else {
        ::close(entries[i].fd);
        entries[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& entry : entries) {
    if (entry.fd >= 0) ::close(entry.fd);
  }
  if (open > 0) ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  run.ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(open, 0) << "adb's output did not end";
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

bool Accepts(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

uint16_t PortOf(const std::string& hostPort) {
  return static_cast<uint16_t>(std::stoi(hostPort.substr(hostPort.rfind(':') + 1)));
}

class AdbSim : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/adb-sim-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    script_ = dir_ + "/devices.txt";
    serverPort_ = simtest::FreeLoopbackPort();
    ::setenv("KAVEX_ADB_DEVICES", script_.c_str(), 1);
    ::setenv("KAVEX_ADB_PORT", std::to_string(serverPort_).c_str(), 1);
    serverLog_ = dir_ + "/server.log";
    ::setenv("KAVEX_ADB_SERVER_LOG", serverLog_.c_str(), 1);
  }
  void TearDown() override {
    Adb({"kill-server"});
    // The server says nothing unless something went wrong (a sanitizer report in those builds). It
    // exits just after answering: a report at its exit may come a moment later.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::ifstream log(serverLog_);
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "") << "the server wrote";
    ::unlink(serverLog_.c_str());
    ::unlink(script_.c_str());
    ::rmdir(dir_.c_str());
  }
  void Script(const std::string& text) { std::ofstream(script_, std::ios::binary) << text; }

  std::string dir_;
  std::string script_;
  std::string serverLog_;
  uint16_t serverPort_ = 0;
};

TEST_F(AdbSim, DevicesListsTheScriptInEitherStyleAndRereadsIt) {
  Script("style lf\ndevice emu1 device\ndevice R58 unauthorized\ndevice OFF1 offline\ndevice 198.18.0.9:5555 device\n");
  const AdbRun first = Adb({"devices"});
  EXPECT_EQ(first.code, 0);
  EXPECT_EQ(first.out,
            "List of devices attached\nemu1\tdevice\nR58\tunauthorized\nOFF1\toffline\n198.18.0.9:5555\tdevice\n\n");
  EXPECT_NE(first.err.find("daemon started successfully\n"), std::string::npos) << first.err;
  EXPECT_TRUE(Accepts(serverPort_));

  Script("style crlf\n# one device left\ndevice emu2 device\n");
  const AdbRun second = Adb({"devices"});
  EXPECT_EQ(second.code, 0);
  EXPECT_EQ(second.out, "List of devices attached\r\nemu2\tdevice\r\n\r\n");
  EXPECT_EQ(second.err, "");  // the server runs already

  const AdbRun stop = Adb({"kill-server"});
  EXPECT_EQ(stop.code, 0);
  EXPECT_FALSE(Accepts(serverPort_));
  EXPECT_EQ(Adb({"kill-server"}).code, 1);  // nothing left to stop
}

TEST_F(AdbSim, ForwardsReachThePhonesAnnouncementAndSessionPorts) {
  SimProcess phone(PHONE_SIM_PATH, {"--listen", "127.0.0.1:0", "--probe", "127.0.0.1:0", "--name", "USB Phone"});
  const uint16_t announcementPort = simtest::FreeLoopbackPort();
  const uint16_t sessionPort = simtest::FreeLoopbackPort();
  Script("device emu1 device 127.0.0.1 4697=" + std::to_string(PortOf(phone.ProbeAddress())) +
         " 4699=" + std::to_string(PortOf(phone.SessionAddress())) + "\ndevice R58 unauthorized\n");
  const std::string local1 = "tcp:" + std::to_string(announcementPort);
  const std::string local2 = "tcp:" + std::to_string(sessionPort);
  EXPECT_EQ(Adb({"-s", "emu1", "forward", local1, "tcp:4697"}).code, 0);
  EXPECT_EQ(Adb({"-s", "emu1", "forward", local2, "tcp:4699"}).code, 0);
  EXPECT_EQ(Adb({"-s", "R58", "forward", "tcp:1", "tcp:4697"}).code, 1);
  EXPECT_EQ(Adb({"-s", "gone", "forward", "tcp:1", "tcp:4697"}).code, 1);
  EXPECT_EQ(Adb({"forward", "--list"}).out, "emu1 " + local1 + " tcp:4697\nemu1 " + local2 + " tcp:4699\n");

  const std::string where = "127.0.0.1:";
  {
    EngineSide probe(where + std::to_string(announcementPort));
    const Bytes block = probe.ReadExact(280);
    EXPECT_EQ(simtest::ToHex(Bytes(block.begin(), block.begin() + 4)), "18010001");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&block[24])), "USB Phone");
    EXPECT_TRUE(probe.WaitEnd(3000) == EngineSide::End::kClosed);
  }
  {
    EngineSide session(where + std::to_string(sessionPort));
    EXPECT_EQ(simtest::U32(session.ReadMessage(), 0) >> 24, 1u);
    EXPECT_EQ(simtest::ToHex(session.ReadMessage()), "04000003");
  }
  // Forwarding a local port again points it at the new device port, as the engine's moves need.
  EXPECT_EQ(Adb({"-s", "emu1", "forward", local1, "tcp:4699"}).code, 0);
  {
    EngineSide session(where + std::to_string(announcementPort));
    session.ReadMessage();
    EXPECT_EQ(simtest::ToHex(session.ReadMessage(4000)), "04000003");
  }
  // Unplugged: the forward still accepts, and closes at once.
  Script("");
  {
    EngineSide gone(where + std::to_string(sessionPort));
    EXPECT_TRUE(gone.WaitEnd(3000) == EngineSide::End::kClosed);
  }
  EXPECT_EQ(Adb({"kill-server"}).code, 0);
  EXPECT_FALSE(Accepts(announcementPort));
  EXPECT_FALSE(Accepts(sessionPort));
}

TEST_F(AdbSim, NotFoundStartsNoServerAndDelayHoldsTheOutput) {
  Script("not-found\ndevice emu1 device\n");
  const AdbRun missing = Adb({"devices"});
  EXPECT_EQ(missing.code, 127);
  EXPECT_EQ(missing.out, "");
  EXPECT_NE(missing.err.find("adb: not found"), std::string::npos) << missing.err;
  EXPECT_FALSE(Accepts(serverPort_));

  Script("style lf\ndelay 700\ndevice emu1 device\n");
  const AdbRun slow = Adb({"devices"});
  EXPECT_GE(slow.ms, 700);
  EXPECT_EQ(slow.out, "List of devices attached\nemu1\tdevice\n\n");
}

}  // namespace
