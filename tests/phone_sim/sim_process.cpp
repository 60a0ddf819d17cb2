#include "sim_process.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "wire_peer.h"

namespace simtest {
namespace {

std::vector<char*> Argv(std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  return argv;
}

std::string Field(const std::string& line, const std::string& key) {
  const size_t at = line.find(key + "=");
  if (at == std::string::npos) return "";
  const size_t start = at + key.size() + 1;
  const size_t end = line.find_first_of(" \n", start);
  return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Reads what is there within the time; false at end of file.
bool ReadSome(int fd, std::string* out, int timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  if (::poll(&entry, 1, timeoutMs) <= 0) return true;
  char buffer[4096];
  const ssize_t got = ::read(fd, buffer, sizeof buffer);
  if (got <= 0) return false;
  out->append(buffer, static_cast<size_t>(got));
  return true;
}

}  // namespace

SimProcess::SimProcess(const std::string& program, const std::vector<std::string>& args, const std::string& netns) {
  std::vector<std::string> words;
  if (!netns.empty()) words = {"ip", "netns", "exec", netns};
  words.push_back(program);
  words.insert(words.end(), args.begin(), args.end());
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw Failure("pipe failed");
  pid_ = ::fork();
  if (pid_ < 0) throw Failure("fork failed");
  if (pid_ == 0) {
    ::dup2(pipeFds[1], 1);
    std::vector<char*> argv = Argv(words);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  stdout_ = pipeFds[0];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (pending_.find('\n') == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) throw Failure("phone-sim gave no ready line within 5 s");
    if (!ReadSome(stdout_, &pending_, 100)) throw Failure("phone-sim ended before its ready line");
  }
  const size_t newline = pending_.find('\n');
  const std::string line = pending_.substr(0, newline);
  pending_.erase(0, newline + 1);
  if (line.compare(0, 6, "ready ") != 0) throw Failure("unexpected first line: " + line);
  ready_ = line;
  session_ = Field(line, "session");
  control_ = Field(line, "control");
  probe_ = Field(line, "probe");
}

SimProcess::~SimProcess() {
  // Every case ends its simulator with SIGTERM, which must give a clean exit: this is where a
  // sanitizer's report at exit (leaks, for one) turns into a failed case.
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGTERM);
    const int code = Wait(5000);
    if (code == -1) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      ADD_FAILURE() << "phone-sim did not stop within 5 s of SIGTERM";
    } else if (code != 0) {
      ADD_FAILURE() << "phone-sim exited with " << code << " on SIGTERM";
    }
  }
  if (stdout_ >= 0) ::close(stdout_);
}

void SimProcess::Signal(int signalNumber) {
  if (!exited_) ::kill(pid_, signalNumber);
}

int SimProcess::Wait(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!exited_) {
    const pid_t done = ::waitpid(pid_, &status_, WNOHANG);
    if (done == pid_) {
      exited_ = true;
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status_)) return WEXITSTATUS(status_);
  if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
  return -1;
}

std::string SimProcess::ReadOutput(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!ReadSome(stdout_, &pending_, 50)) break;
  }
  std::string out;
  out.swap(pending_);
  return out;
}

int RunToExit(const std::string& program, const std::vector<std::string>& args, int timeoutMs, std::string* errors) {
  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw Failure("pipe failed");
  const pid_t pid = ::fork();
  if (pid < 0) throw Failure("fork failed");
  if (pid == 0) {
    ::dup2(pipeFds[1], 2);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    std::vector<char*> argv = Argv(words);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline && ReadSome(pipeFds[0], errors, 50)) {
  }
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace simtest
