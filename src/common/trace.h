#pragma once
#include <atomic>
#include <climits>
#include <cstddef>
#include <string>

namespace kavex {

enum class TraceLevel : int { kOff = 0, kError = 1, kWarn = 2, kInfo = 3, kDebug = 4 };

// The developer trace: levelled, timestamped lines for host developers and for us, off unless the
// environment asks for it. KAVEX_TRACE names the destination (a file, appended to, or "debugger"),
// KAVEX_TRACE_LEVEL the most detailed level written (error, warn, info, debug; info by default).
// Both are read once, by Initialize or at the first trace line, whichever comes first.
//
// Line: "<engine clock, s.mmm> <LEVEL> [<thread>] <component>: <text>", at most kMaxLineBytes
// with its newline (longer ones are cut and end in "..."); control characters, which a phone's
// name may carry, are written as '?', so one line stays one line.
//
// It complements the error log rather than replacing it: the one stored error report goes to the
// phone whatever the trace does.
//
// Thread: any; writes are serialised by the trace's own lock, held only for one write, never while
// anything else is called. Nothing here throws; a line that cannot be written is dropped.
class Trace {
 public:
  static constexpr size_t kMaxLineBytes = 512;

  // Whether a line of this level is written. Once the settings are read this is one relaxed load
  // and a compare; the macros below ask it before anything is formatted or even evaluated.
  static bool Wants(TraceLevel level) noexcept {
    const int threshold = threshold_.load(std::memory_order_relaxed);
    if (static_cast<int>(level) > threshold) return false;
    return threshold != kUnread || static_cast<int>(level) <= ReadSettingsOnce();
  }

  // Reads the two variables unless they were read (or Configure ran) before.
  static void Initialize() noexcept { ReadSettingsOnce(); }
  // Applies settings as the variables would: destination is a path, "debugger", or empty for off;
  // level as KAVEX_TRACE_LEVEL (empty: info). Replaces whatever was configured before.
  static void Configure(const std::string& destination, const std::string& level) noexcept;

  // One line; normally through the macros, which ask Wants first.
  static void Write(TraceLevel level, const char* component, const char* format, ...) noexcept
      __attribute__((format(gnu_printf, 3, 4)));

 private:
  // Above every level: the first Wants that sees it reads the settings.
  static constexpr int kUnread = INT_MAX;

  static int ReadSettingsOnce() noexcept;

  inline static std::atomic<int> threshold_{kUnread};
};

}  // namespace kavex

// printf-style; the arguments are not evaluated when the line is not wanted.
#define KAVEX_TRACE_AT(level, component, ...)                                               \
  do {                                                                                      \
    if (::kavex::Trace::Wants(level)) ::kavex::Trace::Write(level, component, __VA_ARGS__); \
  } while (false)
#define KAVEX_TRACE_ERROR(component, ...) KAVEX_TRACE_AT(::kavex::TraceLevel::kError, component, __VA_ARGS__)
#define KAVEX_TRACE_WARN(component, ...) KAVEX_TRACE_AT(::kavex::TraceLevel::kWarn, component, __VA_ARGS__)
#define KAVEX_TRACE_INFO(component, ...) KAVEX_TRACE_AT(::kavex::TraceLevel::kInfo, component, __VA_ARGS__)
#define KAVEX_TRACE_DEBUG(component, ...) KAVEX_TRACE_AT(::kavex::TraceLevel::kDebug, component, __VA_ARGS__)
