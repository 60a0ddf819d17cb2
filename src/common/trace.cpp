#include "common/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/sync.h"
#include "platform/thread_name.h"
#include "platform/trace_output.h"

namespace kavex {

namespace {

constexpr const char* kDestinationVariable = "KAVEX_TRACE";
constexpr const char* kLevelVariable = "KAVEX_TRACE_LEVEL";
constexpr const char* kDebuggerDestination = "debugger";
constexpr const char* kTruncationMark = "...";
constexpr size_t kTruncationMarkLength = 3;

enum class Destination { kNone, kFile, kDebugger };

// Never destroyed: an engine thread may still write a line while the process (or the DLL) shuts
// down, after static objects are gone. Its file is closed when the engine goes (below).
struct TraceState {
  platform::Mutex mutex;  // everything below, and each write
  bool read = false;
  Destination destination = Destination::kNone;
  platform::AppendFile file;
};

TraceState& State() {
  static TraceState* const state = new TraceState;
  return *state;
}

bool EqualsIgnoringCase(const std::string& text, const char* word) {
  const size_t length = std::strlen(word);
  if (text.size() != length) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

TraceLevel ParseLevel(const std::string& text) {
  if (EqualsIgnoringCase(text, "off")) return TraceLevel::kOff;
  if (EqualsIgnoringCase(text, "error")) return TraceLevel::kError;
  if (EqualsIgnoringCase(text, "warn") || EqualsIgnoringCase(text, "warning")) return TraceLevel::kWarn;
  if (EqualsIgnoringCase(text, "debug")) return TraceLevel::kDebug;
  return TraceLevel::kInfo;  // the default, also for a value nobody understands
}

const char* LevelName(TraceLevel level) {
  switch (level) {
    case TraceLevel::kError:
      return "ERROR";
    case TraceLevel::kWarn:
      return "WARN ";
    case TraceLevel::kInfo:
      return "INFO ";
    case TraceLevel::kDebug:
      return "DEBUG";
    case TraceLevel::kOff:
      break;
  }
  return "?    ";
}

// The calling thread's name, or its system identifier where it has none (host threads often).
void ThreadLabel(char* out, size_t capacity) {
  try {
    const std::string name = platform::CurrentThreadName();
    if (!name.empty()) {
      (void)std::snprintf(out, capacity, "%s", name.c_str());
      return;
    }
  } catch (...) {
    // Out of memory for a name: the identifier will do.
  }
  (void)std::snprintf(out, capacity, "thread-%lu", platform::CurrentThreadId());
}

// Makes [line, line + length) one printable line: control bytes become '?'; bytes from 0x80 on
// stay (names are UTF-8).
void Sanitize(char* line, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if (c < 0x20 || c == 0x7f) line[i] = '?';
  }
}

// Applies settings with the state's lock held; returns the new threshold.
int ApplyLocked(TraceState& state, const std::string& destination, const std::string& levelText) {
  state.read = true;
  state.file = platform::AppendFile();
  state.destination = Destination::kNone;
  const TraceLevel level = ParseLevel(levelText);
  if (destination.empty() || level == TraceLevel::kOff) return static_cast<int>(TraceLevel::kOff);
  if (EqualsIgnoringCase(destination, kDebuggerDestination)) {
    state.destination = Destination::kDebugger;
  } else {
    state.file = platform::AppendFile::Open(destination);
    // A file that cannot be opened leaves the trace off: there is nowhere to say so.
    if (!state.file.valid()) return static_cast<int>(TraceLevel::kOff);
    state.destination = Destination::kFile;
  }
  return static_cast<int>(level);
}

// Closes the trace file when the engine goes: a host's FreeLibrary (else each load would leave
// one file open in the host's process) or the process's end. The state stays, without a
// destination, for a line that comes after.
struct TraceFileCloser {
  TraceFileCloser() = default;
  TraceFileCloser(const TraceFileCloser&) = delete;
  TraceFileCloser& operator=(const TraceFileCloser&) = delete;
  ~TraceFileCloser() {
    try {
      TraceState& state = State();
      std::lock_guard<platform::Mutex> lock(state.mutex);
      state.destination = Destination::kNone;
      state.file = platform::AppendFile();
    } catch (...) {
      // No state could be made: there is no file either.
    }
  }
};
TraceFileCloser g_traceFileCloser;

}  // namespace

int Trace::ReadSettingsOnce() noexcept {
  try {
    TraceState& state = State();
    std::lock_guard<platform::Mutex> lock(state.mutex);
    if (!state.read) {
      const int threshold = ApplyLocked(state, platform::EnvironmentValue(kDestinationVariable),
                                        platform::EnvironmentValue(kLevelVariable));
      threshold_.store(threshold, std::memory_order_release);
    }
  } catch (...) {
    // No memory for the settings, or no lock: the trace stays off.
    threshold_.store(static_cast<int>(TraceLevel::kOff), std::memory_order_release);
  }
  return threshold_.load(std::memory_order_acquire);
}

void Trace::Configure(const std::string& destination, const std::string& level) noexcept {
  try {
    TraceState& state = State();
    std::lock_guard<platform::Mutex> lock(state.mutex);
    threshold_.store(ApplyLocked(state, destination, level), std::memory_order_release);
  } catch (...) {
    threshold_.store(static_cast<int>(TraceLevel::kOff), std::memory_order_release);
  }
}

void Trace::Write(TraceLevel level, const char* component, const char* format, ...) noexcept {
  // The line, its newline and a terminator for the debugger.
  char line[kMaxLineBytes + 1];
  constexpr size_t kMaxText = kMaxLineBytes - 1;  // before the newline

  char thread[64];
  ThreadLabel(thread, sizeof thread);
  int prefix = std::snprintf(line, kMaxText + 1, "%.3f %s [%s] %s: ", EngineClock::Now(), LevelName(level), thread,
                             component != nullptr ? component : "-");
  if (prefix < 0) return;
  size_t length = static_cast<size_t>(prefix);
  bool cut = length > kMaxText;
  if (cut) {
    length = kMaxText;
  } else {
    va_list args;  // NOLINT(cppcoreguidelines-init-variables): va_start initialises it
    va_start(args, format);
    const int text = std::vsnprintf(line + length, kMaxText + 1 - length, format, args);
    va_end(args);
    if (text > 0) {
      cut = static_cast<size_t>(text) > kMaxText - length;
      length = cut ? kMaxText : length + static_cast<size_t>(text);
    }
  }
  if (cut) {
    // The mark replaces the end, moved back to the start of a UTF-8 character so none is split.
    size_t mark = kMaxText - kTruncationMarkLength;
    while (mark > 0 && (static_cast<unsigned char>(line[mark]) & 0xC0) == 0x80) --mark;
    std::memcpy(line + mark, kTruncationMark, kTruncationMarkLength);
    length = mark + kTruncationMarkLength;
  }
  Sanitize(line, length);
  line[length++] = '\n';
  line[length] = '\0';

  try {
    TraceState& state = State();
    std::lock_guard<platform::Mutex> lock(state.mutex);
    // Configured off meanwhile: the line is not wanted any more.
    if (static_cast<int>(level) > threshold_.load(std::memory_order_relaxed)) return;
    if (state.destination == Destination::kFile) {
      state.file.Append(line, length);  // a failed write drops the line
    } else if (state.destination == Destination::kDebugger) {
      platform::WriteToDebugger(line, length);
    }
  } catch (...) {
    // No lock to be had: the line is dropped.
  }
}

}  // namespace kavex
