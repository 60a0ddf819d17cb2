#pragma once
#include <utility>

namespace kavex {

// Runs `f` when the scope ends, whichever way it ends (an exception included): for what a thread
// must do last however its body ends.
template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ~ScopeExit() { f_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F f_;
};

}  // namespace kavex
