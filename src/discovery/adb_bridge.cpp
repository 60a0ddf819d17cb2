#include "discovery/adb_bridge.h"

#include "common/error_log.h"
#include "common/trace.h"
#include "platform/child_process.h"

namespace kavex {

AdbOutput RunAdb(const std::string& arguments, bool waitForOutput, const std::atomic<bool>& running) {
  const platform::ProgramRun run = platform::RunProgram("adb", arguments, waitForOutput, running);
  if (run.inheritedEverything) {
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
      KAVEX_TRACE_WARN("adb",
                       "the system cannot limit what a program inherits: the bridge gets every "
                       "inheritable handle of the process");
  }
  AdbOutput output;
  switch (run.failure) {
    case platform::ProgramRun::Failure::kPipe:
      ErrorLog::Record(error_codes::kAdbPipeFailed);
      output.text = "err";
      return output;
    case platform::ProgramRun::Failure::kStart:
      output.text = "err";
      output.missing = run.notFound;
      output.systemError = run.systemError;
      if (!output.missing) ErrorLog::Record(error_codes::kAdbStartFailed, std::to_string(run.systemError));
      return output;
    case platform::ProgramRun::Failure::kNone:
      break;
  }
  output.text = run.output;
  return output;
}

}  // namespace kavex
