// Running a helper program the way the bridge watcher runs the debug bridge.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/child_process.h"

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

}  // namespace
}  // namespace kavex::platform
