#pragma once

namespace kavex {

// Which threads are the engine's own. A host may call any export from a callback, EUninitialize
// included; the engine must then never join the thread it runs on (nor, through another
// instance's teardown, a thread that waits for it), so teardown asks this before it joins anything.
//
// Thread: each engine thread marks itself for its whole life, at its entry, with an
// EngineThreadMark; the mark is thread-local, so any thread may ask.
class EngineThreadMark {
 public:
  EngineThreadMark();
  ~EngineThreadMark();
  EngineThreadMark(const EngineThreadMark&) = delete;
  EngineThreadMark& operator=(const EngineThreadMark&) = delete;

 private:
  bool previous_;
};

// True on a thread the engine started (worker, receive, decoder, feeder, discovery, teardown).
bool OnEngineThread();

}  // namespace kavex
