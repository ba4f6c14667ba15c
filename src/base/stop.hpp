#pragma once
// A stop that long computations look for. An entry point that runs them with the interpreter's
// lock let go installs, for its own thread, a check that says whether to stop (a pending Ctrl-C,
// say); the loops report the work they do (points evaluated, trials scored), and after every
// kWorkPerClockRead units of it the clock is read and, once an interval has passed, the check is
// asked. When it says stop, poll_stop throws Stopped: no std::exception, so that no handler of
// faults takes it for a failed fit, and the entry point that installed the check catches it. A
// thread with no check installed pays one thread-local read per report and never stops, so no
// result changes by a bit.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>

namespace tondra::base {

// Thrown by poll_stop once the installed check says stop.
struct Stopped {};

class StopCheck {
 public:
  StopCheck() = default;
  StopCheck(const StopCheck&) = delete;
  StopCheck& operator=(const StopCheck&) = delete;
  // Whether to stop now; asked on the thread that installed the check.
  virtual bool stop_now() = 0;

 protected:
  ~StopCheck() = default;
};

// The checks of a computation split over threads: a helper stops once the shared flag is set;
// the calling thread unless its keep_going (which looks for a pending signal) says go on.
class StopFlag final : public StopCheck {
 public:
  explicit StopFlag(const std::atomic<bool>& stop) : stop_(stop) {}
  bool stop_now() override { return stop_.load(std::memory_order_relaxed); }

 private:
  const std::atomic<bool>& stop_;
};

class StopUnless final : public StopCheck {
 public:
  explicit StopUnless(const std::function<bool()>& keep_going) : keep_going_(keep_going) {}
  bool stop_now() override { return !keep_going_(); }

 private:
  const std::function<bool()>& keep_going_;
};

// Installs `check` for this thread, asked at most once per `interval`; the previous one (if any)
// comes back when this goes.
class ScopedStopCheck {
 public:
  ScopedStopCheck(StopCheck& check, std::chrono::milliseconds interval);
  ScopedStopCheck(const ScopedStopCheck&) = delete;
  ScopedStopCheck& operator=(const ScopedStopCheck&) = delete;
  ~ScopedStopCheck();

 private:
  StopCheck* check_;
  std::chrono::milliseconds interval_;
  std::chrono::steady_clock::time_point next_;
  std::size_t work_;
};

// Reports `work` units done; throws Stopped when the installed check says stop.
void poll_stop(std::size_t work);

}  // namespace tondra::base
