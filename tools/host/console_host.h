#pragma once
// The reference console host: loads the engine, creates and opens the cameras, registers every
// callback, prints each callback as one line, forwards console commands to the engine and answers
// passcode requests.
//
// Threads: Run and everything it calls is the main thread, which also initialises COM (instance 0's
// open scans the capture devices through it) and pumps its messages. The On* methods run on engine
// threads (and on the main thread for the open results); they only print (the log and the events), read the per-camera
// format answer and hand passcode requests to the desk, never call the engine, and take no lock but the log's and the
// desk's.
//
// Owns the engine library (the test kit's loader), the console reader, the passcode desk and the wake event.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "engine_library.h"
#include "host_command.h"
#include "host_events.h"
#include "host_log.h"
#include "host_options.h"
#include "passcode_desk.h"
#include "passcode_file.h"
#include "stdin_lines.h"

namespace kavexhost {

class ConsoleHost {
 public:
  ConsoleHost(const HostOptions& options, HostLog& log, HostEvents& events, PasscodeFile passcodes);
  ConsoleHost(const ConsoleHost&) = delete;
  ConsoleHost& operator=(const ConsoleHost&) = delete;
  ~ConsoleHost();

  // The whole run; returns the exit code.
  int Run();

  // Ctrl-C and console close: any thread.
  void RequestQuit();

  // Engine callbacks.
  void OnHostState(int instance, int value);
  void OnPhoneControl(int instance, uint32_t first, uint32_t second);
  void OnVideoSize(int instance, int width, int height);
  void OnPhoneList(int instance, int entry, const char* key, const char* displayName, int selected);
  void OnMessage19(int instance, int32_t a, int32_t b, int32_t c, int32_t d);
  void OnMessage20(int instance, float a, float b, float c, int32_t d);
  void OnMessage21(int instance, float a, float b, float c, float d);
  void OnMessage22(int instance, int32_t a, int32_t b, int32_t c, int32_t d);
  void OnMessage25(int instance, int32_t mode, float value);
  void OnTextList(int instance, const char* text, int32_t value);
  int OnFormatChoice(int instance, const char* formats);
  uint64_t OnPasscodeKey(int instance, const uint8_t* phoneId, const char* phoneName);

  // An answered key that brings no progress within this time counts as refused.
  static constexpr double kPasscodeAnswerWait = 5.0;

 private:
  bool StartEngine();
  bool ResolveListedExports(const std::string& path);
  void MainLoop();
  void StopEngine();
  void WaitForWork(DWORD milliseconds);
  void HandleLine(const std::string& line);
  void Execute(const HostCommand& command);
  void ServePasscodes(bool inputOpen);
  void GivePasscode(const PasscodeRequest& request, const std::string& passcode, const char* source);

  const HostOptions options_;
  HostLog& log_;
  HostEvents& events_;
  PasscodeFile passcodes_;
  PasscodeDesk desk_;
  testkit::EngineLibrary library_;
  HANDLE wake_ = nullptr;
  StdinLines input_;
  const DWORD mainThread_;
  std::atomic<bool> opening_{false};
  std::atomic<bool> quit_{false};
  std::atomic<int> formatChoice_[4];
  bool comStarted_ = false;
  bool engineStarted_ = false;
  std::optional<PasscodeRequest> asking_;  // the request whose passcode the next line is
};

}  // namespace kavexhost
