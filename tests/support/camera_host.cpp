#include "camera_host.h"

#include <mutex>

#include "kavex_engine.h"
#include "phone_state_name.h"
#include "scoped_simulated_drivers.h"

namespace camerahost {
namespace {

std::mutex g_newsMutex;
InstanceNews g_news[kMaxCameras];
bool g_opened[kMaxCameras] = {};

void KAVEX_STDCALL OnState(int instance, int value) {
  if (instance < 0 || instance >= kMaxCameras) return;
  std::lock_guard<std::mutex> lock(g_newsMutex);
  InstanceNews& news = g_news[instance];
  if (!g_opened[instance]) {  // the first report is the open result
    g_opened[instance] = true;
    news.openResult = value;
    return;
  }
  const bool streaming = value == KAVEX_PHONE_STREAMING;
  if (streaming && !news.streaming) news.streamingSince = Clock::now();
  news.streaming = streaming;
  news.lastState = value;
  ++news.stateCount;
  if (news.states.size() == kKeptStates) news.states.erase(news.states.begin());
  news.states.push_back(value);
}

void KAVEX_STDCALL OnPhoneList(int instance, int, const char* key, const char*, int selected) {
  if (instance < 0 || instance >= kMaxCameras || selected == 0 || key == nullptr) return;
  std::lock_guard<std::mutex> lock(g_newsMutex);
  g_news[instance].selectedKey = key;
}

int KAVEX_STDCALL OnFormatChoice(int, const char*) { return 0; }

void ForgetNews() {
  std::lock_guard<std::mutex> lock(g_newsMutex);
  for (int camera = 0; camera < kMaxCameras; ++camera) {
    g_news[camera] = InstanceNews{};
    g_opened[camera] = false;
  }
}

}  // namespace

InstanceNews News(int instance) {
  std::lock_guard<std::mutex> lock(g_newsMutex);
  return instance >= 0 && instance < kMaxCameras ? g_news[instance] : InstanceNews{};
}

const char* StateName(int state) {
  if (state == -1) return "none";
  const char* name = testkit::PhoneStateName(state);
  return name != nullptr ? name : "?";
}

CameraHost::CameraHost() = default;

CameraHost::~CameraHost() { Close(); }

std::string CameraHost::Load() {
#ifndef _WIN32
  // Under Windows the DLL brings its own simulated drivers.
  drivers_ = std::make_unique<kavex::simdrivers::ScopedSimulatedDrivers>();
#endif
  std::string error;
  library_.Load("engine-simdrivers.dll", &error);
  return error;
}

std::string CameraHost::Open(int cameras) {
  if (cameras < 1 || cameras > kMaxCameras) return " no room for " + std::to_string(cameras) + " cameras;";
  ForgetNews();
  const testkit::EngineExports& e = library_.exports();
  e.EInitialize(cameras, &OnState);
  cameras_ = cameras;
  for (int camera = 0; camera < cameras; ++camera)
    e.SetCallback(camera, nullptr, nullptr, &OnPhoneList, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                  &OnFormatChoice);
  std::string problems;
  for (int camera = 0; camera < cameras; ++camera) {
    const int opened = e.EOpen();
    const int result = News(camera).openResult;
    if (opened != camera || result != 0)
      problems += " instance " + std::to_string(camera) + ": EOpen returned " + std::to_string(opened) +
                  ", open result " + std::to_string(result) + ";";
  }
  return problems;
}

void CameraHost::Close() {
  for (int camera = cameras_ - 1; camera >= 0; --camera) library_.exports().EUninitialize(camera);
  cameras_ = 0;
  library_.Unload();
  drivers_.reset();
}

}  // namespace camerahost
