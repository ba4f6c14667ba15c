#pragma once
// How the engine's entry points run their work. Every entry point's body runs in engine_call,
// the one place where a C++ exception becomes a Python one: the kit promises its callers only
// ordinary exceptions, so a fault of the engine is a RuntimeError "the kit's engine failed: ...",
// an exhausted allocation MemoryError, and a stop the exception the signal's handler raised.

#include <cstddef>
#include <utility>

#include "base/stop.hpp"
#include "host/ordinary_call.hpp"
#include "host/unlocked.hpp"

namespace tondra::kit {

// `body` returns a new reference, or null with the host's error indicator set.
template <class Body>
PyObject* engine_call(Body&& body) noexcept {
  return host::call_ordinary("the kit's engine failed", std::forward<Body>(body));
}

// One set this large is worked on with the lock released: smaller ones take less time than
// another thread would wait for the lock.
inline constexpr std::size_t kReleaseLockPoints = 1024;

// Runs `work` on a set of `points` points, with the lock let go when the set is large; the work
// then looks for a pending signal from inside, and a signal stops it with base::Stopped.
template <class Work>
void run_released(const std::size_t points, Work&& work) {
  if (points < kReleaseLockPoints) {
    std::forward<Work>(work)();
    return;
  }
  host::Unlocked unlocked;
  const base::ScopedStopCheck check(unlocked, host::kPollInterval);
  std::forward<Work>(work)();
}

// Runs a batch (returning false when stopped) with the lock let go, asking for a pending signal
// between its sets; a stop is thrown as base::Stopped once the lock is back.
template <class Batch>
void run_unlocked(Batch&& batch) {
  bool finished = false;
  {
    host::Unlocked unlocked;
    finished = std::forward<Batch>(batch)([&unlocked] { return unlocked.keep_going(); });
  }
  if (!finished) throw base::Stopped{};
}

}  // namespace tondra::kit
