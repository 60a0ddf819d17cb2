#include "discovery/adb_bridge.h"

#include "common/error_log.h"
#include "platform/child_process.h"

namespace kavex {

std::string RunAdb(const std::string& arguments, bool waitForOutput, const std::atomic<bool>& running) {
  const platform::ProgramRun run = platform::RunProgram("adb", arguments, waitForOutput, running);
  switch (run.failure) {
    case platform::ProgramRun::Failure::kPipe:
      ErrorLog::Record(error_codes::kAdbPipeFailed);
      return "err";
    case platform::ProgramRun::Failure::kStart:
      ErrorLog::Record(error_codes::kAdbStartFailed, std::to_string(run.systemError));
      return "err";
    case platform::ProgramRun::Failure::kNone:
      break;
  }
  return run.output;
}

}  // namespace kavex
