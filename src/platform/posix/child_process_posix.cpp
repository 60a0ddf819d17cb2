#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

extern char** environ;

namespace kavex::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Waits up to `milliseconds` for the child to end; true when it did (and was reaped). Gives up
// early, false, once stopped() says so.
template <typename Stopped>
bool WaitForExit(pid_t child, int milliseconds, Stopped stopped) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child || (done < 0 && errno != EINTR)) return true;
    if (Clock::now() >= deadline || stopped()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
bool WaitForExit(pid_t child, int milliseconds) {
  return WaitForExit(child, milliseconds, [] { return false; });
}

// How long a program gets to end by itself after its output, and then, killed, to be gone.
constexpr int kExitWaitMs = 5000;
constexpr int kEndWaitMs = 1000;

// Programs that were killed but not yet gone within their wait (stuck in the kernel): reaped by a
// later run once they end, so that no zombies pile up in the host's process.
std::mutex leftoverMutex;
std::vector<pid_t> leftovers;

void ReapLeftovers() {
  std::lock_guard<std::mutex> lock(leftoverMutex);
  leftovers.erase(std::remove_if(leftovers.begin(), leftovers.end(),
                                 [](pid_t child) {
                                   int status = 0;
                                   const pid_t done = waitpid(child, &status, WNOHANG);
                                   return done == child || (done < 0 && errno != EINTR);
                                 }),
                  leftovers.end());
}

}  // namespace

ProgramRun RunProgram(const std::string& name, const std::string& arguments, bool waitForOutput,
                      const std::atomic<bool>& running) {
  const bool startedRunning = running.load();
  ReapLeftovers();
  ProgramRun run;
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
    run.failure = ProgramRun::Failure::kPipe;
    return run;
  }
  std::vector<std::string> words{name};
  for (size_t start = 0; start <= arguments.size();) {
    const size_t end = std::min(arguments.find(' ', start), arguments.size());
    if (end > start) words.push_back(arguments.substr(start, end - start));
    start = end + 1;
  }
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
  pid_t child = -1;
  const int started = posix_spawnp(&child, name.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  if (started != 0) {
    close(pipeEnds[0]);
    run.failure = ProgramRun::Failure::kStart;
    run.systemError = static_cast<uint32_t>(started);
    run.notFound = started == ENOENT;
    return run;
  }

  if (waitForOutput) {
    // The first output within 6 s (300 looks, 20 ms apart), then everything until the pipe ends:
    // each look is bounded, so neither a silent program nor a server that kept the pipe open holds
    // the caller beyond 10 s.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    pollfd readable{pipeEnds[0], POLLIN, 0};
    bool any = false;
    for (int look = 0; look < 300 && running.load() && !any; ++look) any = poll(&readable, 1, 20) > 0;
    char chunk[2000];
    while (any && running.load() && run.output.size() < kMaxOutputBytes && Clock::now() < deadline) {
      readable.revents = 0;
      const int ready = poll(&readable, 1, 100);
      if (ready < 0 && errno != EINTR) break;
      if (ready <= 0) continue;
      const ssize_t n = read(pipeEnds[0], chunk, sizeof chunk);
      if (n <= 0) break;
      run.output.append(chunk, static_cast<size_t>(n));
    }
  }
  close(pipeEnds[0]);
  // A command stuck on a hung server is ended here, or every pass would leave one more behind. Only
  // the process spawned here: a server it started lives in a session of its own.
  // A caller that stops meanwhile (the engine's thread told to end) does not wait for the command;
  // one that was already stopped when it started it (the bridge's kill-server at the end) does.
  if (!WaitForExit(child, kExitWaitMs, [&] { return startedRunning && !running.load(); })) {
    kill(child, SIGKILL);
    if (!WaitForExit(child, kEndWaitMs)) {
      std::lock_guard<std::mutex> lock(leftoverMutex);
      leftovers.push_back(child);
    }
  }
  return run;
}

}  // namespace kavex::platform
