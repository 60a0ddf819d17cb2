#include "campaign_host.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "journal.h"
#include "kavex_engine.h"
#include "scoped_simulated_drivers.h"
#include "simulated_drivers_config.h"

namespace campaign {
namespace {

// ---- what the callbacks share (one host per process) ---------------------------------------

std::mutex g_mutex;
CameraNews g_news[kCameras];
const testkit::EngineExports* g_exports = nullptr;
std::atomic<int> g_mischiefOneIn{0};
std::atomic<int> g_uninitializeOneIn{0};
std::atomic<bool> g_mischiefOnZero{false};
std::atomic<bool>* g_broken = nullptr;
CampaignHost* g_host = nullptr;
uint64_t g_passcodeKeys[5] = {};  // by phone number, what ESetPasscode gave
bool g_asked[5] = {};             // by phone number: the engine asked for its key
std::mutex g_countMutex;
std::map<std::string, int> g_counts;
std::atomic<bool> g_faultUnderWay{false};

void Count(const std::string& name, const char* where) {
  std::lock_guard<std::mutex> lock(g_countMutex);
  g_counts[name + "@" + where]++;
  if (g_faultUnderWay) g_counts[name + "+fault"]++;
}

// ---- export calls, each watched against its bound ----------------------------------------

struct Watched {
  const char* name = nullptr;
  int camera = 0;
  Clock::time_point start{};
  int boundMs = 0;
  std::string where;
};
std::mutex g_callMutex;
std::array<Watched, 64> g_calls;

class Call {
 public:
  Call(const char* name, int camera, int boundMs, const char* where) {
    std::lock_guard<std::mutex> lock(g_callMutex);
    for (size_t i = 0; i < g_calls.size(); ++i) {
      if (g_calls[i].name != nullptr) continue;
      g_calls[i] = Watched{name, camera, Clock::now(), boundMs, where};
      slot_ = static_cast<int>(i);
      break;
    }
  }
  ~Call() {
    if (slot_ < 0) return;
    std::lock_guard<std::mutex> lock(g_callMutex);
    g_calls[slot_].name = nullptr;
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

 private:
  int slot_ = -1;
};

bool InRange(int camera) { return camera >= 0 && camera < kCameras; }

// A callback of a camera that was uninitialised from a host thread breaks the promise that
// nothing comes after EUninitialize returned.
void Heard(int instance, const char* what) {
  if (!InRange(instance)) {
    Journal::Get().Violation(std::string(what) + " for instance " + std::to_string(instance),
                             "a callback named a camera that does not exist\n");
  }
  bool late = false;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_news[instance].callbacks;
    late = g_news[instance].closedStrict;
  }
  if (late)
    Journal::Get().Violation(std::string(what) + " of camera " + std::to_string(instance) +
                                 " after its EUninitialize returned on a host thread",
                             "");
}

std::mt19937& CallbackRandom() {
  thread_local std::mt19937 random(static_cast<uint32_t>(std::hash<std::thread::id>()(std::this_thread::get_id())));
  return random;
}

void Mischief(int instance, const char* where);

// ---- the callbacks -------------------------------------------------------------------------

void KAVEX_STDCALL OnState(int instance, int value) {
  Heard(instance, "state");
  bool openResult = false;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    CameraNews& news = g_news[instance];
    if (news.openResult == 99) {
      news.openResult = value;
      news.open = value == 0;
      openResult = true;
    } else {
      const bool streaming = value == KAVEX_PHONE_STREAMING;
      if (streaming && !news.streaming) news.streamingSince = Clock::now();
      if (!streaming) news.selectedKey.clear();
      news.streaming = streaming;
      if (value != news.state) news.stateAt = Clock::now();
      news.state = value;
    }
  }
  Journal::Get().Note("camera %d %s %d", instance, openResult ? "open result" : "state", value);
  if (!openResult) Mischief(instance, "state callback");
}

void KAVEX_STDCALL OnList(int instance, int entry, const char* key, const char*, int selected) {
  Heard(instance, "list entry");
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    CameraNews& news = g_news[instance];
    if (entry == 0) {
      news.listKeys.clear();
      news.listAt = Clock::now();
    }
    if (key != nullptr) {
      news.listKeys.emplace_back(key);
      if (selected != 0 && news.streaming) news.selectedKey = key;
    }
  }
  if (entry == 0) Mischief(instance, "list callback");
}

void KAVEX_STDCALL OnControl(int instance, uint32_t, uint32_t) {
  Heard(instance, "control");
  Mischief(instance, "control callback");
}
void KAVEX_STDCALL OnVideoSize(int instance, int width, int height) {
  Heard(instance, "video size");
  Journal::Get().Note("camera %d video size %dx%d", instance, width, height);
  Mischief(instance, "video size callback");
}
void KAVEX_STDCALL On19(int instance, int32_t, int32_t, int32_t, int32_t) { Heard(instance, "message 19"); }
void KAVEX_STDCALL On20(int instance, float, float, float, int32_t) { Heard(instance, "message 20"); }
void KAVEX_STDCALL On21(int instance, float, float, float, float) { Heard(instance, "message 21"); }
void KAVEX_STDCALL On22(int instance, int32_t, int32_t, int32_t, int32_t) { Heard(instance, "message 22"); }
void KAVEX_STDCALL On25(int instance, int32_t, float) { Heard(instance, "message 25"); }
void KAVEX_STDCALL OnText(int instance, const char*, int32_t) {
  Heard(instance, "text list");
  Mischief(instance, "text callback");
}
int KAVEX_STDCALL OnFormatChoice(int instance, const char*) {
  Heard(instance, "format choice");
  Mischief(instance, "format choice callback");
  return 0;
}
uint64_t KAVEX_STDCALL OnPasscodeKey(int instance, const uint8_t* id, const char*) {
  Heard(instance, "passcode key");
  Mischief(instance, "passcode key callback");
  if (id == nullptr || id[0] < 1 || id[0] > 4) return 0;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_asked[id[0]] = true;
  return g_passcodeKeys[id[0]];
}

void Register(const testkit::EngineExports& e, int camera, const char* where) {
  Call call("SetCallback", camera, kCallBoundMs, where);
  e.SetCallback(camera, &OnControl, &OnVideoSize, &OnList, &On19, &On20, &On21, &On22, &On25, &OnText, &OnFormatChoice);
  e.SetIdleCallback(camera, &OnPasscodeKey);
}

}  // namespace

// ---- operations ----------------------------------------------------------------------------

std::string CampaignHost::KeyOf(int phone) { return std::to_string(phone); }

std::vector<uint8_t> CampaignHost::IdOf(int phone) {
  // What the runner gives the simulators: the phone's number, three zero bytes, "scale-phone", 0.
  std::vector<uint8_t> id = {static_cast<uint8_t>(phone), 0, 0, 0};
  for (const char c : std::string("scale-phone")) id.push_back(static_cast<uint8_t>(c));
  id.push_back(0);
  return id;
}

CampaignHost::CampaignHost() {
  g_broken = &broken_;
  g_host = this;
}

CampaignHost::~CampaignHost() {
  stop_ = true;
  if (watch_.joinable()) watch_.join();
  g_broken = nullptr;
  g_host = nullptr;
}

std::string CampaignHost::Load(int missingCamera) {
  std::string devices = "mic0,mic1,mic2,mic3";
  for (int camera = 0; camera < kCameras; ++camera)
    if (camera != missingCamera) devices += ",cam" + std::to_string(camera);
#ifdef _WIN32
  // The DLL reads its drivers' settings from the environment when it is loaded.
  _putenv(("KAVEX_SIMDRIVERS_DEVICES=" + devices).c_str());
#else
  const auto lookup = [&](const std::string& name) -> std::optional<std::string> {
    if (name == "KAVEX_SIMDRIVERS_DEVICES") return devices;
    const char* value = std::getenv(name.c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
  };
  drivers_ = std::make_unique<kavex::simdrivers::ScopedSimulatedDrivers>(
      kavex::simdrivers::ConfigFromVariables(lookup, nullptr));
#endif
  std::string error;
  library_.Load(testkit::EnginePathFor("engine-simdrivers.dll"), &error);
  if (!error.empty()) return error;
  g_exports = &library_.exports();
  broken_ = false;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (CameraNews& news : g_news) news = CameraNews{};
    for (bool& asked : g_asked) asked = false;
  }
  if (!watch_.joinable()) {
    stop_ = false;
    watch_ = std::thread([this] { Watch(); });
  }
  return {};
}

std::string CampaignHost::Open() {
  const testkit::EngineExports& e = library_.exports();
  {
    Call call("EInitialize", 4, kTeardownBoundMs, "main");
    e.EInitialize(kCameras, &OnState);
  }
  for (int camera = 0; camera < kCameras; ++camera) Register(e, camera, "main");
  std::string results;
  for (int camera = 0; camera < kCameras; ++camera) {
    int index;
    {
      Call call("EOpen", camera, kOpenBoundMs, "main");
      index = e.EOpen();
    }
    if (index != camera)
      Journal::Get().Violation("EOpen returned " + std::to_string(index) + " for camera " + std::to_string(camera),
                               Describe());
    results += " " + std::to_string(News(camera).openResult);
  }
  return results;
}

void CampaignHost::Close() {
  if (g_exports == nullptr) return;
  for (int camera = kCameras - 1; camera >= 0; --camera) Uninitialize(camera, "main (closing)");
  stop_ = true;
  if (watch_.joinable()) watch_.join();
  g_exports = nullptr;
  library_.Unload();
  drivers_.reset();
}

CameraNews CampaignHost::News(int camera) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return InRange(camera) ? g_news[camera] : CameraNews{};
}

std::string CampaignHost::Describe() {
  std::string text;
  const Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> lock(g_mutex);
  for (int camera = 0; camera < kCameras; ++camera) {
    const CameraNews& n = g_news[camera];
    std::string list;
    for (const std::string& key : n.listKeys) list += (list.empty() ? "" : ",") + key;
    char line[400];
    std::snprintf(line, sizeof line,
                  "  camera %d: open result %d, %s, state %d for %.1f s, selected %s, list [%s] %.1f s old, "
                  "%llu callbacks\n",
                  camera, n.openResult, n.closedStrict ? "closed" : (n.open ? "open" : "not open"), n.state,
                  std::chrono::duration<double>(now - n.stateAt).count(),
                  n.selectedKey.empty() ? "-" : n.selectedKey.c_str(), list.c_str(),
                  std::chrono::duration<double>(now - n.listAt).count(), static_cast<unsigned long long>(n.callbacks));
    text += line;
  }
  return text;
}

void CampaignHost::Uninitialize(int camera, const char* where) {
  if (g_exports == nullptr) return;
  Journal::Get().Note("EUninitialize(%d) from %s", camera, where);
  Count(camera == 0 ? "close-camera-0" : "close-camera", where);
  if (camera == 0) broken_ = true;
  {
    Call call("EUninitialize", camera, kTeardownBoundMs, where);
    g_exports->EUninitialize(camera);
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  if (InRange(camera)) {
    g_news[camera].open = false;
    g_news[camera].streaming = false;
    g_news[camera].selectedKey.clear();
    g_news[camera].closedStrict = true;
  }
}

void CampaignHost::Initialize(int count, const char* where) {
  if (g_exports == nullptr) return;
  Journal::Get().Note("EInitialize(%d) from %s", count, where);
  Count("reinitialize", where);
  broken_ = true;  // the replaced cameras can never be opened again
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (int camera = 0; camera < count && camera < kCameras; ++camera) {
      // The old instance's callbacks are cleared; the new one's first report would be its open
      // result, which never comes: it is never opened.
      g_news[camera].open = false;
      g_news[camera].streaming = false;
      g_news[camera].openResult = -99;
    }
  }
  Call call("EInitialize", count, kTeardownBoundMs, where);
  g_exports->EInitialize(count, &OnState);
}

void CampaignHost::AnswerPasscode(int phone, const std::string& passcode, const char* where) {
  if (g_exports == nullptr) return;
  const std::vector<uint8_t> id = IdOf(phone);
  uint64_t key;
  {
    Call call("ESetPasscode", phone, kCallBoundMs, where);
    key = g_exports->ESetPasscode(id.data(), passcode.c_str());
  }
  Journal::Get().Note("ESetPasscode(phone %d, \"%s\") from %s", phone, passcode.c_str(), where);
  Count(passcode == "1234" ? "passcode-answer" : "passcode-wrong", where);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_passcodeKeys[phone] = key;
}

bool CampaignHost::TakePasscodeQuestion(int phone) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (phone < 1 || phone > 4 || !g_asked[phone]) return false;
  g_asked[phone] = false;
  return true;
}

void CampaignHost::SetBlank(bool blank, const char* where) {
  if (g_exports == nullptr) return;
  Journal::Get().Note("ESetBlank(%d) from %s", blank ? 1 : 0, where);
  Count(blank ? "blank" : "unblank", where);
  Call call("ESetBlank", -1, kCallBoundMs, where);
  g_exports->ESetBlank(blank ? 1 : 0);
}

void CampaignHost::SetCallbackMischief(int oneIn, int uninitializeOneIn, bool includeCameraZero) {
  g_mischiefOneIn = oneIn;
  g_uninitializeOneIn = uninitializeOneIn;
  g_mischiefOnZero = includeCameraZero;
}

// Any camera index, now and then one that does not exist.
int DrawCamera(std::mt19937& random) {
  const int pick = std::uniform_int_distribution<int>(0, 19)(random);
  if (pick == 19) return std::uniform_int_distribution<int>(0, 1)(random) ? -1 : 4 + pick % 3;
  return pick % kCameras;
}

void CampaignHost::RandomOperation(std::mt19937& random, const char* where) { Count(Operate(random, where), where); }

std::map<std::string, int> CampaignHost::TakeCounts() {
  std::lock_guard<std::mutex> lock(g_countMutex);
  std::map<std::string, int> taken;
  taken.swap(g_counts);
  return taken;
}

void CampaignHost::SetFaultUnderWay(bool underWay) { g_faultUnderWay = underWay; }

const char* CampaignHost::Operate(std::mt19937& random, const char* where) {
  const testkit::EngineExports* e = g_exports;
  if (e == nullptr) return "none";
  const auto between = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
  const int camera = DrawCamera(random);
  switch (between(0, 13)) {
    case 0:
    case 1:
    case 2: {
      // A key from the camera's latest list, else any phone's.
      std::string key = KeyOf(between(1, 4));
      const CameraNews news = News(camera);
      if (!news.listKeys.empty()) key = news.listKeys[between(0, static_cast<int>(news.listKeys.size()) - 1)];
      Journal::Get().Note("ESelectPhone(%d, \"%s\") from %s", camera, key.c_str(), where);
      Call call("ESelectPhone", camera, kCallBoundMs, where);
      e->ESelectPhone(camera, key.c_str());
      return "select";
    }
    case 3: {
      static const char* const kStale[] = {"12345", "", "-1", "0", "5", "1x", "99999999999"};
      const char* key = kStale[between(0, 6)];
      Journal::Get().Note("ESelectPhone(%d, \"%s\") (stale) from %s", camera, key, where);
      Call call("ESelectPhone", camera, kCallBoundMs, where);
      e->ESelectPhone(camera, key);
      return "select-stale";
    }
    case 4: {
      Journal::Get().Note("ERefresh from %s", where);
      Call call("ERefresh", -1, kCallBoundMs, where);
      e->ERefresh();
      return "refresh";
    }
    case 5:
    case 6: {
      const int format = between(0, 12) - 1;
      Journal::Get().Note("ESetVideoFormat(%d, %d) from %s", camera, format, where);
      Call call("ESetVideoFormat", camera, kCallBoundMs, where);
      e->ESetVideoFormat(camera, format);
      return "video-format";
    }
    case 7: {
      Journal::Get().Note("EFocus/EFocusDistance(%d) from %s", camera, where);
      Call call("EFocus", camera, kCallBoundMs, where);
      e->EFocus(camera, between(0, 100) / 100.0f, between(0, 100) / 100.0f, between(0, 1));
      e->EFocusDistance(camera, between(0, 2), between(0, 100) / 10.0f);
      return "focus";
    }
    case 8: {
      Journal::Get().Note("ButtonEvent(%d) from %s", camera, where);
      Call call("ButtonEvent", camera, kCallBoundMs, where);
      e->ButtonEvent(camera, between(0, 40), between(0, 3));
      return "button";
    }
    case 9: {
      Journal::Get().Note("ESetActiveIdx(%d) from %s", camera, where);
      Call call("ESetActiveIdx", camera, kCallBoundMs, where);
      e->ESetActiveIdx(camera);
      return "active-index";
    }
    case 10: {
      Journal::Get().Note("SetCallback(%d) again from %s", camera, where);
      Register(*e, camera, where);
      return "set-callback";
    }
    default: {
      // The preview: settings, the surface, a few renders, and now and then its end.
      const testkit::PreviewExports& p = library_.preview();
      Journal::Get().Note("preview calls from %s", where);
      Call call("preview", -1, kPreviewBoundMs, where);
      p.SetSize(static_cast<uint32_t>(between(0, 1920)), static_cast<uint32_t>(between(0, 1080)));
      p.SetAlpha(between(0, 1));
      p.SetNumDesiredSamples(static_cast<uint32_t>(between(0, 8)));
      p.SetAdapter(between(-100, 2000), between(-100, 1200));
      void* surface = nullptr;
      p.GetBackBufferNoRef(&surface);
      for (int i = between(0, 3); i > 0; --i) p.Render();
      if (between(0, 3) == 0) p.Destroy();
      return "preview";
    }
  }
}

namespace {

void Mischief(int instance, const char* where) {
  const int oneIn = g_mischiefOneIn.load();
  if (oneIn <= 0 || g_exports == nullptr || g_broken == nullptr) return;
  std::mt19937& random = CallbackRandom();
  const int uninitializeOneIn = g_uninitializeOneIn.load();
  if (uninitializeOneIn > 0 && (instance != 0 || g_mischiefOnZero.load()) &&
      std::uniform_int_distribution<int>(1, uninitializeOneIn)(random) == 1) {
    Journal::Get().Note("EUninitialize(%d) from its own %s", instance, where);
    Count(instance == 0 ? "close-camera-0" : "close-camera", where);
    if (instance == 0) *g_broken = true;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_news[instance].open = false;  // not strict: a callback already begun may still come
    }
    Call call("EUninitialize", instance, kCallBoundMs, where);
    g_exports->EUninitialize(instance);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_news[instance].streaming = false;
    return;
  }
  if (std::uniform_int_distribution<int>(1, oneIn)(random) != 1) return;
  if (g_host != nullptr) g_host->RandomOperation(random, where);
}

}  // namespace

void CampaignHost::Watch() {
  while (!stop_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string overdue;
    {
      std::lock_guard<std::mutex> lock(g_callMutex);
      const Clock::time_point now = Clock::now();
      for (const Watched& call : g_calls) {
        if (call.name == nullptr || now - call.start < std::chrono::milliseconds(call.boundMs)) continue;
        overdue = std::string(call.name) + "(" + std::to_string(call.camera) + ") from " + call.where +
                  " has not returned after " + std::to_string(call.boundMs) + " ms";
        break;
      }
    }
    if (!overdue.empty()) Journal::Get().Violation(overdue, Describe());
  }
}

}  // namespace campaign
