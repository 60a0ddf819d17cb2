// The functions the host calls. They check their arguments, find the instance and hand over; the
// work happens in the instance. Nothing thrown inside the engine may reach the host, so every entry
// point catches everything and records it.
#include <string>

#include "api/instance_table.h"
#include "api/passcode_key.h"
#include "broker/phone_broker.h"
#include "common/error_log.h"
#include "common/trace.h"
#include "instance/engine_instance.h"
#include "instance/instance_registry.h"
#include "instance/teardown_reaper.h"
#include "kavex_engine.h"
#include "protocol/control_messages.h"

using kavex::EngineInstance;
using kavex::InstanceTable;

namespace {

// Runs an entry point's body; an exception (out of memory, out of threads) ends the call quietly.
template <typename Body>
void Guarded(int code, Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    try {
      kavex::ErrorLog::Record(kavex::error_codes::ExportFailed(code));
    } catch (...) {
    }
  }
}

std::shared_ptr<EngineInstance> Find(int index) {
  kavex::TeardownReaper::JoinFinished();  // teardowns that callbacks asked for, once finished
  return InstanceTable::Instance().Get(index);
}

}  // namespace

extern "C" {

void KAVEX_CDECL EInitialize(int count, HostStateCallback stateCallback) {
  Guarded(1, [&] {
    kavex::Trace::Initialize();
    KAVEX_TRACE_INFO("api", "EInitialize(%d)", count);
    InstanceTable::Instance().Initialize(count, stateCallback);
  });
}

int KAVEX_CDECL EOpen(void) {
  int index = -1;
  Guarded(2, [&] { index = InstanceTable::Instance().OpenNext(); });
  return index;
}

void KAVEX_CDECL EUninitialize(int instance) {
  Guarded(3, [&] {
    KAVEX_TRACE_INFO("api", "EUninitialize(%d)", instance);
    InstanceTable::Instance().Uninitialize(instance);
  });
}

void KAVEX_CDECL SetCallback(int instance, PhoneControlCallback phoneControl, VideoSizeCallback videoSize,
                             PhoneListCallback phoneList, Message19Callback message19, Message20Callback message20,
                             Message21Callback message21, Message22Callback message22, Message25Callback message25,
                             TextListCallback textList, FormatChoiceCallback formatChoice) {
  Guarded(4, [&] {
    if (auto target = Find(instance))
      target->callbacks().Register(phoneControl, videoSize, phoneList, message19, message20, message21, message22,
                                   message25, textList, formatChoice);
  });
}

void KAVEX_CDECL SetIdleCallback(int instance, PasscodeKeyCallback passcodeKey) {
  Guarded(5, [&] {
    if (auto target = Find(instance)) target->callbacks().RegisterPasscodeKey(passcodeKey);
  });
}

void KAVEX_CDECL ButtonEvent(int instance, int code, int value) {
  Guarded(6, [&] {
    if (auto target = Find(instance))
      target->activeConnection().Send(kavex::control_messages::ButtonEvent(code, value));
  });
}

void KAVEX_CDECL EFocus(int instance, float x, float y, int flag) {
  Guarded(7, [&] {
    if (auto target = Find(instance))
      target->activeConnection().Send(kavex::control_messages::Focus(x, y, static_cast<uint8_t>(flag & 0xff)));
  });
}

void KAVEX_CDECL EFocusDistance(int instance, int mode, float distance) {
  Guarded(8, [&] {
    if (auto target = Find(instance))
      target->activeConnection().Send(kavex::control_messages::FocusDistance(mode, distance));
  });
}

void KAVEX_CDECL ESetActiveIdx(int instance) {
  Guarded(9, [&] {
    InstanceTable& table = InstanceTable::Instance();
    const int opened = table.openCount();
    for (int i = 0; i < opened; ++i) {
      auto slot = table.Get(i);
      if (slot == nullptr) break;
      slot->SetActive(false);
    }
    if (auto target = table.Get(instance)) target->SetActive(true);
  });
}

void KAVEX_CDECL ESetBlank(int blank) {
  Guarded(10, [&] {
    for (int i = 0; i < InstanceTable::kSlots; ++i)
      if (auto target = Find(i)) target->SetBlank((blank & 0xff) != 0);
  });
}

void KAVEX_CDECL ESetVideoFormat(int instance, int formatIndex) {
  Guarded(11, [&] {
    if (auto target = Find(instance)) target->SetFormatIndex(formatIndex);
  });
}

void KAVEX_CDECL ESelectPhone(int instance, const char* key) {
  Guarded(12, [&] {
    if (key == nullptr) return;
    if (auto target = Find(instance)) target->SelectPhoneByKey(std::string(key));
  });
}

void KAVEX_CDECL ERefresh(void) {
  Guarded(13, [] {
    if (auto first = Find(0)) first->RestartServiceDiscovery();
  });
}

uint64_t KAVEX_CDECL ESetPasscode(const uint8_t* phoneId, const char* passcode) {
  uint64_t key = 0;
  Guarded(14, [&] {
    auto first = Find(0);
    if (first == nullptr) return;
    key = kavex::PasscodeKey(passcode);
    if (phoneId != nullptr) kavex::InstanceRegistry::Broker().ResetToIdle(kavex::PhoneId::FromBytes(phoneId));
    first->NotifyListChanged();
  });
  return key;
}

}  // extern "C"
