#include "patcher/net/run_state.h"

#include <atomic>

namespace {

std::atomic<bool> g_bQuitRequested{false};

}  // namespace

bool IsQuitRequested() { return g_bQuitRequested.load(); }

void SetQuitRequested(bool a_bQuit) { g_bQuitRequested.store(a_bQuit); }
