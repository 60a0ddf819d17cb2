#include "host_event_log.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace hostlog {

namespace {

struct Event {
  Clock::time_point at;
  int state = -1;           // a state report, or -1
  std::string displayName;  // a list entry
  int selected = 0;
};

std::mutex g_mutex;
std::vector<Event> g_events;

}  // namespace

void KAVEX_STDCALL OnState(int instance, int value) {
  if (instance != 0) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_events.push_back({Clock::now(), value, "", 0});
}

void KAVEX_STDCALL OnPhoneList(int instance, int, const char*, const char* displayName, int selected) {
  if (instance != 0) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_events.push_back({Clock::now(), -1, displayName != nullptr ? displayName : "", selected});
}

int KAVEX_STDCALL OnFormatChoice(int, const char*) { return 0; }

bool StateSince(int value, Clock::time_point since, Clock::time_point* at) {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (const Event& event : g_events) {
    if (event.state == value && event.at >= since) {
      if (at != nullptr) *at = event.at;
      return true;
    }
  }
  return false;
}

int LastState() {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (auto it = g_events.rbegin(); it != g_events.rend(); ++it)
    if (it->state >= 0) return it->state;
  return -1;
}

Clock::time_point LastStateAt() {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (auto it = g_events.rbegin(); it != g_events.rend(); ++it)
    if (it->state >= 0) return it->at;
  return Clock::time_point();
}

bool SelectedEntrySince(const std::string& displayName, Clock::time_point since) {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (const Event& event : g_events)
    if (event.at >= since && event.selected == 1 && event.displayName == displayName) return true;
  return false;
}

std::string History(Clock::time_point origin) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::string text;
  for (const Event& event : g_events) {
    char line[320];
    const double seconds = std::chrono::duration<double>(event.at - origin).count();
    if (event.state >= 0)
      std::snprintf(line, sizeof line, "\n  %+.2f s state %d", seconds, event.state);
    else
      std::snprintf(line, sizeof line, "\n  %+.2f s list \"%s\" selected=%d", seconds, event.displayName.c_str(),
                    event.selected);
    text += line;
  }
  return text;
}

bool OpenCameraZero(const testkit::EngineExports& e, Clock::time_point* opened) {
  *opened = Clock::now();
  e.EInitialize(1, &OnState);
  e.SetCallback(0, nullptr, nullptr, &OnPhoneList, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                &OnFormatChoice);
  return e.EOpen() == 0 && StateSince(0, *opened);
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace hostlog
