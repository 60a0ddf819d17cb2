#include "transport/receive_thread.h"

#include <new>
#include <system_error>

#include "common/engine_thread.h"
#include "platform/sync.h"
#include "platform/system_thread.h"

namespace kavex {

namespace {

// The receive thread this thread is, if any (a system slot: host threads ask too).
platform::ThreadSlot g_current;

}  // namespace

bool ReceiveThread::OnThisThread() const { return g_current.Get() == this; }

bool ReceiveThread::Start(const std::string& name, std::function<void()> body) {
  try {
    thread_ = StartEngineThread(name, error_codes::kReceiveThrew, [this, body = std::move(body)] {
      g_current.Set(this);
      body();
    });
  } catch (const std::system_error&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void ReceiveThread::Stop() {
  if (OnThisThread()) {
    stopped_.store(true);
    open_.store(false);
    return;
  }
  std::lock_guard<platform::Mutex> lock(startMutex_);
  stopped_.store(true);
  open_.store(false);
  if (thread_.joinable()) thread_.join();
}

bool ReceiveThread::Release() {
  open_.store(false);
  if (OnThisThread()) {
    stopped_.store(true);
    if (thread_.joinable()) thread_.detach();
    return true;
  }
  Stop();
  return false;
}

}  // namespace kavex
