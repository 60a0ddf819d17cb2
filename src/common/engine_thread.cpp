#include "common/engine_thread.h"

namespace kavex {
namespace {

thread_local bool tlsEngineThread = false;

}  // namespace

EngineThreadMark::EngineThreadMark() : previous_(tlsEngineThread) { tlsEngineThread = true; }

EngineThreadMark::~EngineThreadMark() { tlsEngineThread = previous_; }

bool OnEngineThread() { return tlsEngineThread; }

}  // namespace kavex
