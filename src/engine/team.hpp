#pragma once
// The engine's one place that starts threads: `items` pieces of work, numbered 0 to items - 1,
// done on up to `threads` threads, the caller's among them. Each thread takes the next `take`
// items from a shared counter and does them in order, so which thread does an item depends on
// timing, and a job whose result must not depend on it keeps each item's work to that item.
//
// Stops: a computation left to run with the interpreter's lock let go must answer Ctrl-C at
// once. The caller asks `keep_going` every poll interval: between items (reading the clock only
// once the work units its items report add up to kWorkPerClockRead, or after an item that
// large), from inside a long item through its stop check (base::poll_stop), and while it waits
// for the helpers to finish theirs. A helper stops inside a long item once the shared stop is
// set. Once `keep_going` says no, no thread starts another item and run_team returns false; the
// items not done are left as they were.
//
// Faults: every thread runs with fault reports quietened (the job turns its failures into
// values). Should an exception escape a job anyway, no thread starts another item, and once
// every helper has ended it is thrown again on the calling thread; a base::Stopped ends only its
// own thread's part. A thread that cannot be started leaves its share to the others.

#include <chrono>
#include <cstddef>
#include <functional>

namespace tondra::kit {

struct TeamPlan {
  unsigned threads = 1;  // at most, the caller's included; 0 is taken as 1
  std::size_t take = 1;  // items a thread takes at a time (at least 1)
  std::chrono::milliseconds poll_interval{20};
};

// Does item `item` on thread `worker` (0 the caller, then the helpers in order) and returns the
// work units it took, for the caller's clock.
using TeamJob = std::function<std::size_t(unsigned worker, std::size_t item)>;

// How many threads run_team uses for `items` items: no more than the takes, since a thread
// costs more to start than a small take costs to do; at least 1. Callers size per-thread state
// by it.
unsigned team_threads(std::size_t items, const TeamPlan& plan);

// Does every item; false when `keep_going` stopped it. Rethrows an exception that escaped a job.
bool run_team(std::size_t items, const TeamPlan& plan, const TeamJob& job,
              const std::function<bool()>& keep_going);

}  // namespace tondra::kit
