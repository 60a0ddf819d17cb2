#include "console_host.h"

#include <objbase.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "callback_text.h"
#include "export_list.h"
#include "preview_capture.h"

namespace kavexhost {
namespace {

// The callbacks carry no context: they reach the one host of the process through this pointer,
// which is set for as long as the engine can call.
std::atomic<ConsoleHost*> g_host{nullptr};

void KAVEX_STDCALL HostStateThunk(int instance, int value) {
  if (ConsoleHost* host = g_host.load()) host->OnHostState(instance, value);
}
void KAVEX_STDCALL PhoneControlThunk(int instance, uint32_t first, uint32_t second) {
  if (ConsoleHost* host = g_host.load()) host->OnPhoneControl(instance, first, second);
}
void KAVEX_STDCALL VideoSizeThunk(int instance, int width, int height) {
  if (ConsoleHost* host = g_host.load()) host->OnVideoSize(instance, width, height);
}
void KAVEX_STDCALL PhoneListThunk(int instance, int entry, const char* key, const char* displayName, int selected) {
  if (ConsoleHost* host = g_host.load()) host->OnPhoneList(instance, entry, key, displayName, selected);
}
void KAVEX_STDCALL Message19Thunk(int instance, int32_t a, int32_t b, int32_t c, int32_t d) {
  if (ConsoleHost* host = g_host.load()) host->OnMessage19(instance, a, b, c, d);
}
void KAVEX_STDCALL Message20Thunk(int instance, float a, float b, float c, int32_t d) {
  if (ConsoleHost* host = g_host.load()) host->OnMessage20(instance, a, b, c, d);
}
void KAVEX_STDCALL Message21Thunk(int instance, float a, float b, float c, float d) {
  if (ConsoleHost* host = g_host.load()) host->OnMessage21(instance, a, b, c, d);
}
void KAVEX_STDCALL Message22Thunk(int instance, int32_t a, int32_t b, int32_t c, int32_t d) {
  if (ConsoleHost* host = g_host.load()) host->OnMessage22(instance, a, b, c, d);
}
void KAVEX_STDCALL Message25Thunk(int instance, int32_t mode, float value) {
  if (ConsoleHost* host = g_host.load()) host->OnMessage25(instance, mode, value);
}
void KAVEX_STDCALL TextListThunk(int instance, const char* text, int32_t value) {
  if (ConsoleHost* host = g_host.load()) host->OnTextList(instance, text, value);
}
int KAVEX_STDCALL FormatChoiceThunk(int instance, const char* formats) {
  ConsoleHost* host = g_host.load();
  return host != nullptr ? host->OnFormatChoice(instance, formats) : 0;
}
uint64_t KAVEX_STDCALL PasscodeKeyThunk(int instance, const uint8_t* phoneId, const char* phoneName) {
  ConsoleHost* host = g_host.load();
  return host != nullptr ? host->OnPasscodeKey(instance, phoneId, phoneName) : 0;
}

BOOL WINAPI ConsoleControlHandler(DWORD) {
  if (ConsoleHost* host = g_host.load()) {
    host->RequestQuit();
    return TRUE;  // the main loop shuts the engine down and exits
  }
  return FALSE;
}

std::string KeyHex(uint64_t key) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(key));
  return text;
}

}  // namespace

ConsoleHost::ConsoleHost(const HostOptions& options, HostLog& log, HostEvents& events, PasscodeFile passcodes)
    : options_(options),
      log_(log),
      events_(events),
      passcodes_(std::move(passcodes)),
      desk_(kPasscodeAnswerWait),
      wake_(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      input_(wake_),
      mainThread_(GetCurrentThreadId()) {
  for (std::atomic<int>& choice : formatChoice_) choice = options.formatChoice;
}

ConsoleHost::~ConsoleHost() {
  StopEngine();
  if (wake_ != nullptr) CloseHandle(wake_);
}

void ConsoleHost::RequestQuit() {
  quit_ = true;
  SetEvent(wake_);
}

int ConsoleHost::Run() {
  if (wake_ == nullptr) {
    std::fprintf(stderr, "kavex-host: cannot create an event (error %lu)\n", GetLastError());
    return 1;
  }
  if (!StartEngine()) {
    StopEngine();
    return 1;
  }
  MainLoop();
  StopEngine();
  log_.Info("done");
  return 0;
}

// Every name of the --exports file, by name through GetProcAddress, as a host that uses more of
// the DLL than the engine's own table would resolve it; before the engine starts.
bool ConsoleHost::ResolveListedExports(const std::string& path) {
  std::ifstream file(options_.exportsFile, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  if (!file) {
    std::fprintf(stderr, "kavex-host: cannot read %s\n", options_.exportsFile.c_str());
    return false;
  }
  const ExportListResult list = ParseExportList(text.str());
  if (!list.ok) {
    std::fprintf(stderr, "kavex-host: %s: %s\n", options_.exportsFile.c_str(), list.error.c_str());
    return false;
  }
  const HMODULE module = GetModuleHandleA(path.c_str());
  std::string missing;
  for (const std::string& name : list.names) {
    if (module == nullptr || GetProcAddress(module, name.c_str()) == nullptr) {
      missing += (missing.empty() ? "" : ", ") + name;
    }
  }
  if (!missing.empty()) {
    std::fprintf(stderr, "kavex-host: %s lacks exports that %s lists: %s\n", path.c_str(), options_.exportsFile.c_str(),
                 missing.c_str());
    return false;
  }
  log_.Info("all " + std::to_string(list.names.size()) + " exports of " + options_.exportsFile + " resolved");
  return true;
}

bool ConsoleHost::StartEngine() {
  const std::string path = testkit::EnginePathFor(options_.dll);
  std::string error;
  if (!library_.Load(path, &error)) {
    std::fprintf(stderr, "kavex-host: %s\n", error.c_str());
    return false;
  }
  log_.Info("loaded " + path + ": all " + std::to_string(testkit::kExportCount) + " exports resolved");
  if (!options_.exportsFile.empty() && !ResolveListedExports(path)) return false;

  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(com)) {
    std::fprintf(stderr, "kavex-host: CoInitializeEx failed (0x%08lx)\n", static_cast<unsigned long>(com));
    return false;
  }
  comStarted_ = true;

  g_host = this;
  SetConsoleCtrlHandler(&ConsoleControlHandler, TRUE);
  const testkit::EngineExports& engine = library_.exports();
  engine.EInitialize(options_.cameras, &HostStateThunk);
  engineStarted_ = true;
  for (int camera = 0; camera < options_.cameras; ++camera) {
    // Every callback before any open: a phone may connect as soon as instance 0 is open, and the
    // engine calls the format choice without testing for it.
    engine.SetCallback(camera, &PhoneControlThunk, &VideoSizeThunk, &PhoneListThunk, &Message19Thunk, &Message20Thunk,
                       &Message21Thunk, &Message22Thunk, &Message25Thunk, &TextListThunk, &FormatChoiceThunk);
    engine.SetIdleCallback(camera, &PasscodeKeyThunk);
  }
  log_.Info("initialised " + std::to_string(options_.cameras) + " camera" + (options_.cameras > 1 ? "s" : "") +
            ", callbacks registered");
  for (int camera = 0; camera < options_.cameras; ++camera) {
    opening_ = true;
    const int opened = engine.EOpen();
    opening_ = false;
    if (opened != camera) {
      log_.Event("error: EOpen returned " + std::to_string(opened) + ", expected " + std::to_string(camera));
    }
  }
  input_.Start();
  return true;
}

void ConsoleHost::StopEngine() {
  if (engineStarted_) {
    engineStarted_ = false;
    const testkit::EngineExports& engine = library_.exports();
    for (int camera = options_.cameras - 1; camera >= 0; --camera) engine.EUninitialize(camera);
    log_.Info("cameras uninitialised");
  }
  // No engine thread is left to call back.
  g_host = nullptr;
  SetConsoleCtrlHandler(&ConsoleControlHandler, FALSE);
  library_.Unload();
  if (comStarted_) {
    comStarted_ = false;
    CoUninitialize();
  }
}

void ConsoleHost::WaitForWork(DWORD milliseconds) {
  // The main thread is a COM apartment: keep its messages flowing while it waits.
  MsgWaitForMultipleObjects(1, &wake_, FALSE, milliseconds, QS_ALLINPUT);
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

void ConsoleHost::MainLoop() {
  bool inputEnded = false;
  while (!quit_) {
    const double now = log_.SecondsSinceStart();
    if (options_.durationSeconds > 0.0 && now >= options_.durationSeconds) {
      log_.Info("duration of " + FloatText(static_cast<float>(options_.durationSeconds)) + " s reached");
      break;
    }
    bool ended = false;
    for (const std::string& line : input_.Take(&ended)) {
      HandleLine(line);
      if (quit_) break;
    }
    if (quit_) break;
    if (ended && !inputEnded) {
      inputEnded = true;
      log_.Info(options_.durationSeconds > 0.0 ? "end of input: running until the duration ends"
                                               : "end of input: running until Ctrl-C");
      if (asking_) {
        log_.Event("cam" + std::to_string(asking_->instance) + " no passcode for " + Quoted(asking_->name.c_str()) +
                   " (end of input)");
        desk_.Abandon(asking_->id);
        asking_.reset();
      }
    }
    ServePasscodes(!inputEnded);
    // Short waits: the duration and the unconfirmed passcode answers are checked on the clock.
    WaitForWork(100);
  }
  if (quit_) log_.Info("quit");
}

void ConsoleHost::HandleLine(const std::string& line) {
  if (asking_) {
    const PasscodeRequest request = *asking_;
    asking_.reset();
    if (line.empty()) {
      log_.Event("cam" + std::to_string(request.instance) + " passcode for " + Quoted(request.name.c_str()) +
                 " skipped");
      desk_.Abandon(request.id);
      return;
    }
    GivePasscode(request, line, "typed");
    return;
  }
  const ParsedLine parsed = ParseCommandLine(line);
  if (parsed.status == ParseStatus::kEmpty) return;
  if (parsed.status == ParseStatus::kError) {
    log_.Event("error: " + parsed.error);
    return;
  }
  Execute(parsed.command);
}

void ConsoleHost::Execute(const HostCommand& command) {
  const bool perCamera = command.kind != CommandKind::kBlank && command.kind != CommandKind::kRefresh &&
                         command.kind != CommandKind::kPreview && command.kind != CommandKind::kHelp &&
                         command.kind != CommandKind::kQuit;
  if (perCamera && command.camera >= options_.cameras) {
    log_.Event("error: no camera " + std::to_string(command.camera) + " (--cameras " +
               std::to_string(options_.cameras) + ")");
    return;
  }
  log_.Info("> " + DescribeCommand(command));
  const testkit::EngineExports& engine = library_.exports();
  switch (command.kind) {
    case CommandKind::kSelect:
      engine.ESelectPhone(command.camera, command.key.c_str());
      break;
    case CommandKind::kFormat:
      formatChoice_[command.camera] = command.first;
      engine.ESetVideoFormat(command.camera, command.first);
      break;
    case CommandKind::kBlank:
      engine.ESetBlank(command.first);
      break;
    case CommandKind::kButton:
      engine.ButtonEvent(command.camera, command.first, command.second);
      break;
    case CommandKind::kFocus:
      engine.EFocus(command.camera, command.x, command.y, command.first);
      break;
    case CommandKind::kFocusDistance:
      engine.EFocusDistance(command.camera, command.first, command.x);
      break;
    case CommandKind::kActive:
      // Any index above 3 means "none" to the engine.
      engine.ESetActiveIdx(command.camera < 0 ? 4 : command.camera);
      break;
    case CommandKind::kRefresh:
      engine.ERefresh();
      break;
    case CommandKind::kPreview:
      log_.Event(CapturePreview(
          library_.preview(), command.key, command.first,
          [](void* host, unsigned ms) { static_cast<ConsoleHost*>(host)->WaitForWork(ms); }, this));
      break;
    case CommandKind::kHelp: {
      std::istringstream lines(CommandHelp());
      std::string line;
      while (std::getline(lines, line)) log_.Info(line);
      break;
    }
    case CommandKind::kQuit:
      quit_ = true;
      break;
  }
}

void ConsoleHost::ServePasscodes(bool inputOpen) {
  desk_.CheckAnswers(log_.SecondsSinceStart());
  while (!asking_) {
    std::optional<PasscodeRequest> request = desk_.NextRequest();
    if (!request) return;
    const std::string camera = "cam" + std::to_string(request->instance);
    const std::string phone = Quoted(request->name.c_str());
    if (request->afterRefusal) log_.Event(camera + " passcode for " + phone + " not accepted");
    if (std::optional<std::string> passcode = passcodes_.Take(request->name)) {
      GivePasscode(*request, *passcode, "from the passcode file");
    } else if (inputOpen) {
      log_.Event(camera + " passcode for " + phone + ":");
      asking_ = request;
    } else {
      log_.Event(camera + " no passcode for " + phone + " (none left in the passcode file and no input)");
      desk_.Abandon(request->id);
    }
  }
}

void ConsoleHost::GivePasscode(const PasscodeRequest& request, const std::string& passcode, const char* source) {
  const std::string camera = "cam" + std::to_string(request.instance);
  const testkit::EngineExports& engine = library_.exports();
  const uint64_t key = engine.ESetPasscode(request.id.data(), passcode.c_str());
  if (key == 0) {
    log_.Event(camera + " passcode for " + Quoted(request.name.c_str()) + " not taken: the engine has no camera 0");
    desk_.Abandon(request.id);
    return;
  }
  desk_.StoreKey(request.id, key);
  log_.Event(camera + " passcode for " + Quoted(request.name.c_str()) + " set (" + source + "): key " + KeyHex(key) +
             ", connecting again");
  // The phone may still hold the connection that asked, waiting for an answer that never came:
  // selecting it now connects again at once instead of after that connection's silence limit. A
  // phone that refused a key has closed its connection already, and the engine connects again by
  // itself.
  if (!request.afterRefusal) engine.ESelectPhone(request.instance, PhoneKeyText(request.id).c_str());
}

void ConsoleHost::OnHostState(int instance, int value) {
  if (opening_ && GetCurrentThreadId() == mainThread_) {
    log_.Event(OpenResultText(instance, value));
    events_.Write(OpenResultEvent(instance, value));
    return;
  }
  if (value != KAVEX_PHONE_PASSCODE_NEEDED) desk_.OnSessionProgress(instance);
  log_.Event(StateText(instance, value));
  events_.Write(StateEvent(instance, value));
}

void ConsoleHost::OnPhoneControl(int instance, uint32_t first, uint32_t second) {
  log_.Event(PhoneControlText(instance, first, second));
}

void ConsoleHost::OnVideoSize(int instance, int width, int height) {
  log_.Event(VideoSizeText(instance, width, height));
  events_.Write(VideoSizeEvent(instance, width, height));
}

void ConsoleHost::OnPhoneList(int instance, int entry, const char* key, const char* displayName, int selected) {
  log_.Event(PhoneListText(instance, entry, key, displayName, selected));
  events_.Write(PhoneEvent(instance, entry, key, displayName, selected));
}

void ConsoleHost::OnMessage19(int instance, int32_t a, int32_t b, int32_t c, int32_t d) {
  log_.Event(Message19Text(instance, a, b, c, d));
}

void ConsoleHost::OnMessage20(int instance, float a, float b, float c, int32_t d) {
  log_.Event(Message20Text(instance, a, b, c, d));
}

void ConsoleHost::OnMessage21(int instance, float a, float b, float c, float d) {
  log_.Event(Message21Text(instance, a, b, c, d));
}

void ConsoleHost::OnMessage22(int instance, int32_t a, int32_t b, int32_t c, int32_t d) {
  log_.Event(Message22Text(instance, a, b, c, d));
}

void ConsoleHost::OnMessage25(int instance, int32_t mode, float value) {
  log_.Event(Message25Text(instance, mode, value));
}

void ConsoleHost::OnTextList(int instance, const char* text, int32_t value) {
  log_.Event(TextListText(instance, text, value));
}

int ConsoleHost::OnFormatChoice(int instance, const char* formats) {
  const int answer = instance >= 0 && instance < 4 ? formatChoice_[instance].load() : 0;
  // Capabilities come after the opening, so the phone has accepted any passcode it asked for.
  desk_.OnSessionProgress(instance);
  log_.Event(FormatChoiceText(instance, formats, answer));
  events_.Write(FormatChoiceEvent(instance, answer));
  return answer;
}

uint64_t ConsoleHost::OnPasscodeKey(int instance, const uint8_t* phoneId, const char* phoneName) {
  const std::string name = phoneName != nullptr ? phoneName : "";
  const uint64_t key = desk_.KeyFor(instance, phoneId, name, log_.SecondsSinceStart());
  log_.Event(PasscodeKeyText(instance, phoneId, phoneName, key));
  // A request may now be waiting for the main thread.
  SetEvent(wake_);
  return key;
}

}  // namespace kavexhost
