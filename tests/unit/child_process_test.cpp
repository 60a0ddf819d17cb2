// Running a helper program the way the bridge watcher runs the debug bridge.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "platform/child_process.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace kavex::platform {
namespace {

#ifdef _WIN32
const char kShell[] = "cmd";
const char kEcho[] = "/c echo hello there";
const char kLineEnd[] = "\r\n";
#else
const char kShell[] = "echo";
const char kEcho[] = "hello there";
const char kLineEnd[] = "\n";
#endif

TEST(ChildProcess, OutputIsReadUntilTheProgramEnds) {
  const std::atomic<bool> running{true};
  const ProgramRun run = RunProgram(kShell, kEcho, /*waitForOutput=*/true, running);
  EXPECT_EQ(run.failure, ProgramRun::Failure::kNone);
  EXPECT_EQ(run.output, std::string("hello there") + kLineEnd);

  // Not waiting: the program runs, nothing is read.
  EXPECT_TRUE(RunProgram(kShell, kEcho, /*waitForOutput=*/false, running).output.empty());
}

TEST(ChildProcess, AProgramThatIsNotThereIsAStartFailure) {
  const std::atomic<bool> running{true};
  const ProgramRun run = RunProgram("kavex-no-such-program", "devices", true, running);
  EXPECT_EQ(run.failure, ProgramRun::Failure::kStart);
  EXPECT_NE(run.systemError, 0u);
  EXPECT_TRUE(run.notFound);  // the bridge watcher takes this as the bridge not being installed
  EXPECT_TRUE(run.output.empty());
}

// A program that writes its process id into a file and never ends (a bridge command stuck on a
// hung server).
struct HangingProgram {
#ifdef _WIN32
  // Beside the test program; the file in the current folder, which the program shares.
  std::string idFile = "kavex-hang-" + std::to_string(GetCurrentProcessId()) + ".txt";
  std::string name = "child_process_peer";
  std::string arguments = "hang " + idFile;
#else
  std::string idFile = "/tmp/kavex-hang-" + std::to_string(getpid()) + ".txt";
  std::string name = idFile + ".sh";
  std::string arguments;
  HangingProgram() {
    std::ofstream(name) << "#!/bin/sh\necho $$ >" << idFile << "\nexec sleep 60\n";
    chmod(name.c_str(), 0700);
  }
#endif
  ~HangingProgram() {
    std::remove(idFile.c_str());
    if (name.find('/') != std::string::npos) std::remove(name.c_str());
  }
};

// Natively gone means reaped too: a zombie still answers kill(pid, 0). A survivor is ended here.
bool Gone(unsigned long id) {
#ifdef _WIN32
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id);
  if (process == nullptr) return true;
  const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  if (!ended) TerminateProcess(process, 0);
  CloseHandle(process);
  return ended;
#else
  if (kill(static_cast<pid_t>(id), 0) != 0 && errno == ESRCH) return true;
  kill(static_cast<pid_t>(id), SIGKILL);
  return false;
#endif
}

// Otherwise every bridge command that hangs leaves one more process behind, without limit.
TEST(ChildProcess, AProgramThatOutstaysItsWaitIsEnded) {
  const std::atomic<bool> running{true};
  const HangingProgram hanging;
  const ProgramRun run = RunProgram(hanging.name, hanging.arguments, /*waitForOutput=*/false, running);
  ASSERT_EQ(run.failure, ProgramRun::Failure::kNone);
  std::string id;
  std::ifstream(hanging.idFile) >> id;
  ASSERT_FALSE(id.empty()) << "the program wrote no id";
  EXPECT_TRUE(Gone(std::stoul(id))) << "process " << id << " outlived its wait";
}

// A thread told to stop while its command hangs (the bridge watcher as instance 0 goes) ends the
// command at once instead of waiting out the 5 s: the host's EUninitialize waits for that thread.
TEST(ChildProcess, ACallerThatStopsDoesNotWaitForItsHungCommand) {
  std::atomic<bool> running{true};
  const HangingProgram hanging;
  std::thread stopper([&running] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    running.store(false);
  });
  const auto start = std::chrono::steady_clock::now();
  const ProgramRun run = RunProgram(hanging.name, hanging.arguments, /*waitForOutput=*/false, running);
  const auto took = std::chrono::steady_clock::now() - start;
  stopper.join();
  EXPECT_EQ(run.failure, ProgramRun::Failure::kNone);
  EXPECT_LT(took, std::chrono::seconds(3)) << "the stopped caller waited for the command's end";
}

#ifdef _WIN32
// The bridge's server lives long after the command that started it: neither may hold the host's
// pipes or the engine's shared objects open.
TEST(ChildProcess, TheProgramInheritsNothingButItsOutputPipe) {
  const std::atomic<bool> running{true};
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE event = CreateEventW(&inheritable, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  const ProgramRun run = RunProgram("child_process_peer",
                                    "set-event " + std::to_string(reinterpret_cast<uintptr_t>(event)), true, running);
  EXPECT_EQ(run.failure, ProgramRun::Failure::kNone);
  EXPECT_FALSE(run.output.empty()) << "its output pipe is inherited";
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "the program reached the host's event: " << run.output;
  CloseHandle(event);
}

// A command without a path would look in the current folder before the PATH: whoever can write
// there would run a program in the user's name.
TEST(ChildProcess, AProgramInTheCurrentFolderIsNotRunButOneOnThePathIs) {
  const std::atomic<bool> running{true};
  char here[MAX_PATH] = {};
  char module[MAX_PATH] = {};
  char temp[MAX_PATH] = {};
  ASSERT_NE(GetCurrentDirectoryA(MAX_PATH, here), 0u);
  ASSERT_NE(GetModuleFileNameA(nullptr, module, MAX_PATH), 0u);
  ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
  std::string peer = module;
  peer = peer.substr(0, peer.find_last_of('\\') + 1) + "child_process_peer.exe";
  const std::string folder = std::string(temp) + "kavex-planted-" + std::to_string(GetCurrentProcessId());
  const std::string planted = folder + "\\kavex-planted.exe";
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(CopyFileA(peer.c_str(), planted.c_str(), FALSE));
  char path[32767] = {};
  GetEnvironmentVariableA("PATH", path, sizeof path);

  ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));
  const ProgramRun inFolder = RunProgram("kavex-planted", "echo planted", true, running);
  EXPECT_EQ(inFolder.failure, ProgramRun::Failure::kStart) << "ran: " << inFolder.output;
  EXPECT_TRUE(inFolder.notFound);
  SetEnvironmentVariableA("PATH", (folder + ";" + path).c_str());
  const ProgramRun onPath = RunProgram("kavex-planted", "echo on the path", true, running);
  EXPECT_EQ(onPath.output, "on the path");

  SetEnvironmentVariableA("PATH", path);
  SetCurrentDirectoryA(here);
  DeleteFileA(planted.c_str());
  // The program's process, started in that folder, may hold it for a moment after it ended.
  for (int i = 0; i < 20 && !RemoveDirectoryA(folder.c_str()); ++i) Sleep(50);
}
#endif

}  // namespace
}  // namespace kavex::platform
